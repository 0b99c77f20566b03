// The removal command against a scripted device namespace and console.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "command/removal.h"
#include "runtime/console.h"
#include "tests/host/quoted.h"
#include "tests/standins/fake_platform.h"

namespace {

const char UsageText[] = "Zendrel - removes a 'DOS Device Name' definition\n"
                         "Usage:\n"
                         "\n"
                         "Zendrel DosDeviceName [-y]\n"
                         "\n"
                         "-y  assume answer 'yes'\n"
                         "\n"
                         "Samples:\n"
                         "Zendrel X:\n"
                         "Zendrel COM5 -y\n";

// Runs the command on a copy of the arguments, with streams set up the way
// the start-up leaves them; the platform calls made are in Fake().calls.
int RunCommand(std::vector<std::string> arguments) {
    InitStandardStreams();
    Fake().calls.clear();
    std::vector<char *> vector;
    for (std::string &argument : arguments)
        vector.push_back(&argument[0]);
    vector.push_back(nullptr);
    return RunRemovalCommand(static_cast<int>(arguments.size()), vector.data());
}

std::string Output() {
    return WrittenTo(FakeOutputHandle());
}

size_t Removals() {
    return CallCount("DefineDosDeviceA");
}

class Removal : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetFake();
    }
};

TEST_F(Removal, UsageWithoutANameIsTenWritesAndNoNamespaceCall) {
    for (int count : {0, 1}) {
        ResetFake();
        InitStandardStreams();
        Fake().calls.clear();
        char program[] = "Zendrel.exe";
        char *arguments[] = {program, nullptr};
        EXPECT_EQ(RunRemovalCommand(count, count == 0 ? nullptr : arguments), 1);
        EXPECT_EQ(Output(), UsageText);
        EXPECT_EQ(Fake().writes.size(), 10u);
        EXPECT_EQ(Fake().writes[2].bytes, "\n");
        EXPECT_EQ(CallCount("QueryDosDeviceA") + CallCount("StrStrIA") + Removals() +
                      CallCount("ReadFile"),
                  0u);
        EXPECT_EQ(Fake().writes.size(), CallCount("WriteFile"));
    }
}

struct AnswerCase {
    const char *name;
    std::string input;
    long readFailsAt;
    int removed;
};

void PrintTo(const AnswerCase &c, std::ostream *out) {
    *out << "answer " << Quoted(c.input);
    if (c.readFailsAt >= 0)
        *out << ", the read at position " << c.readFailsAt << " fails";
    *out << (c.removed ? " -> removed" : " -> kept");
}

class Answer : public Removal, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(Answer, OnlyYAndLowerYRemove) {
    const AnswerCase &c = GetParam();
    Fake().devices["Q:"] = {"\\Device\\Q"};
    Fake().input = c.input;
    Fake().readFailsAt = c.readFailsAt;
    EXPECT_EQ(RunCommand({"Zendrel.exe", "Q:"}), 0);
    std::string asked = "KernelName of Q: is \\Device\\Q\nremove? (Y/N)\n";
    EXPECT_EQ(Output(), c.removed ? asked + "Q: removed\n" : asked);
    EXPECT_EQ(Removals(), static_cast<size_t>(c.removed));
    EXPECT_EQ(Fake().devices["Q:"].empty(), c.removed == 1);
    // The answer costs exactly one read of one byte.
    EXPECT_EQ(Fake().readSizes, std::vector<DWORD>{1});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Answer,
    ::testing::Values(AnswerCase{"lower_y", "y\r\n", -1, 1}, AnswerCase{"upper_y", "Y\n", -1, 1},
                      AnswerCase{"yes_word", "yes\n", -1, 1}, AnswerCase{"n", "n\n", -1, 0},
                      AnswerCase{"x", "x\n", -1, 0}, AnswerCase{"carriage_return", "\r\n", -1, 0},
                      AnswerCase{"line_feed", "\n", -1, 0},
                      AnswerCase{"space_then_y", " y\n", -1, 0},
                      // 'y' with bit 7 set is not a yes, even though bit 5 is cleared.
                      AnswerCase{"high_y", "\xF9\n", -1, 0}, AnswerCase{"end_of_input", "", -1, 0},
                      AnswerCase{"failed_read", "y\n", 0, 0}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Removal, OnlyTheFirstByteOfTheAnswerLineIsConsumed) {
    Fake().devices["Q:"] = {"\\Device\\Q"};
    Fake().input = "yREST\n";
    EXPECT_EQ(RunCommand({"Zendrel.exe", "Q:"}), 0);
    EXPECT_EQ(Fake().inputPosition, 1u);
    std::string rest;
    for (int c; (c = StreamReadByte(&StandardInput)) != -1;)
        rest += static_cast<char>(c);
    EXPECT_EQ(rest, "REST\n");
}

struct SwitchCase {
    std::vector<std::string> arguments;
    bool assumeYes;
};

void PrintTo(const SwitchCase &c, std::ostream *out) {
    *out << Quoted(c.arguments) << (c.assumeYes ? " -> no question" : " -> asks");
}

class AssumeYes : public Removal, public ::testing::WithParamInterface<SwitchCase> {};

TEST_P(AssumeYes, FoundInAnyArgumentInAnyCase) {
    const SwitchCase &c = GetParam();
    const std::string &name = c.arguments[1];
    Fake().devices[name] = {"\\Device\\T"};
    Fake().input = "n\n";
    EXPECT_EQ(RunCommand(c.arguments), 0);
    EXPECT_EQ(Removals(), c.assumeYes ? 1u : 0u);
    std::string shown = "KernelName of " + name + " is \\Device\\T\n";
    EXPECT_EQ(Output(), c.assumeYes ? shown + name + " removed\n" : shown + "remove? (Y/N)\n");
    EXPECT_EQ(CallCount("ReadFile"), c.assumeYes ? 0u : 1u);
    // Every argument from the name on is searched, the program path is not.
    EXPECT_EQ(CallCount("StrStrIA"), c.arguments.size() - 1);
}

INSTANTIATE_TEST_SUITE_P(Cases, AssumeYes,
                         ::testing::Values(SwitchCase{{"-y", "X:", "-y"}, true},
                                           SwitchCase{{"p", "X:", "-Y"}, true},
                                           SwitchCase{{"p", "X:", "-yes"}, true},
                                           SwitchCase{{"p", "X:", "/x-Y"}, true},
                                           SwitchCase{{"p", "X:", "extra", "my-yard"}, true},
                                           SwitchCase{{"p", "my-Yard", "extra"}, true},
                                           SwitchCase{{"p", "X:", "-n", "y", "/y", "-"}, false},
                                           SwitchCase{{"-y", "X:"}, false}));

TEST_F(Removal, UndefinedNameAbortsBeforeAsking) {
    EXPECT_EQ(RunCommand({"Zendrel.exe", "Q:"}), 2);
    EXPECT_EQ(Output(), "DosDevice not found -> abort\n");
    EXPECT_EQ(CallCount("ReadFile") + Removals(), 0u);
}

TEST_F(Removal, TargetListBeyond520CharactersCountsAsNotFound) {
    // 518 characters, its NUL and the list's closing NUL fill 520 exactly.
    Fake().devices["A:"] = {std::string(518, 'a')};
    Fake().devices["B:"] = {std::string(519, 'b')};
    Fake().devices["C:"] = {std::string(300, 'c'), std::string(300, 'o')};
    EXPECT_EQ(RunCommand({"Zendrel.exe", "A:", "-y"}), 0);
    ResetFake();
    Fake().devices["B:"] = {std::string(519, 'b')};
    EXPECT_EQ(RunCommand({"Zendrel.exe", "B:", "-y"}), 2);
    EXPECT_EQ(Output(), "DosDevice not found -> abort\n");
    ResetFake();
    Fake().devices["C:"] = {std::string(300, 'c'), std::string(300, 'o')};
    EXPECT_EQ(RunCommand({"Zendrel.exe", "C:", "-y"}), 2);
    EXPECT_EQ(Removals(), 0u);
}

TEST_F(Removal, RefusedRemovalPrintsTheCodeUnsignedWithoutLineEnd) {
    for (DWORD code : {5u, 0x80070005u, 0xFFFFFFFFu}) {
        ResetFake();
        Fake().devices["COM5"] = {"\\Device\\Serial0"};
        Fake().removal = RefuseRemoval;
        Fake().removalError = code;
        EXPECT_EQ(RunCommand({"Zendrel.exe", "COM5", "-y"}), 3);
        ASSERT_EQ(Fake().writes.size(), 2u);
        EXPECT_EQ(Fake().writes[1].bytes, "COM5 not removed, err=" + std::to_string(code));
        EXPECT_EQ(Fake().devices["COM5"].size(), 1u);
    }
}

TEST_F(Removal, RemovalCallUsesQuietRemoveFlagsAndNoTarget) {
    Fake().devices["Q:"] = {"\\Device\\Q"};
    EXPECT_EQ(RunCommand({"Zendrel.exe", "Q:", "-y"}), 0);
    std::vector<std::string> expected = {"StrStrIA Q:",        "StrStrIA -y",
                                         "QueryDosDeviceA Q:", "wvsprintfA",
                                         "WriteFile",          "DefineDosDeviceA 0x0A Q:",
                                         "QueryDosDeviceA Q:", "wvsprintfA",
                                         "WriteFile"};
    EXPECT_EQ(Fake().calls, expected);
}

TEST_F(Removal, OlderDefinitionComingToTheTopIsExitFive) {
    Fake().devices["Q:"] = {"\\Device\\Newer", "\\Device\\Older"};
    Fake().input = "y";
    EXPECT_EQ(RunCommand({"Zendrel.exe", "Q:"}), 5);
    EXPECT_EQ(Output(), "KernelName of Q: is \\Device\\Newer\n"
                        "remove? (Y/N)\n"
                        "removal of Q: reported as ok, but it points now to \\Device\\Older\n");
    EXPECT_EQ(Fake().writes.back().bytes, "it points now to \\Device\\Older\n");
}

TEST_F(Removal, TargetsDifferingOnlyInCaseOrLengthAreDifferent) {
    for (const char *older : {"\\device\\q", "\\Device\\Q2", "\\Device\\"}) {
        ResetFake();
        Fake().devices["Q:"] = {"\\Device\\Q", older};
        EXPECT_EQ(RunCommand({"Zendrel.exe", "Q:", "-y"}), 5) << older;
    }
}

TEST_F(Removal, SuccessThatChangesNothingIsExitFour) {
    Fake().devices["Q:"] = {"\\Device\\Q"};
    Fake().removal = RemoveLeavingName;
    EXPECT_EQ(RunCommand({"Zendrel.exe", "Q:", "-y"}), 4);
    EXPECT_EQ(Output(), "KernelName of Q: is \\Device\\Q\n"
                        "removal of Q: reported as ok, but it is still there\n");
    // A stacked older definition with the same target reads as unchanged too.
    ResetFake();
    Fake().devices["Q:"] = {"\\Device\\Q", "\\Device\\Q"};
    EXPECT_EQ(RunCommand({"Zendrel.exe", "Q:", "-y"}), 4);
}

TEST_F(Removal, RefusedOutputChangesNoOutcome) {
    struct Case {
        std::vector<std::string> devices;
        FakeRemoval removal;
        int code;
    };
    for (const Case &c : {Case{{}, RemoveTopDefinition, 2}, Case{{"t"}, RemoveTopDefinition, 0},
                          Case{{"t"}, RefuseRemoval, 3}, Case{{"t"}, RemoveLeavingName, 4},
                          Case{{"t", "u"}, RemoveTopDefinition, 5}}) {
        ResetFake();
        Fake().refuseWrites = true;
        if (!c.devices.empty())
            Fake().devices["Q:"] = c.devices;
        Fake().removal = c.removal;
        Fake().input = "y";
        EXPECT_EQ(RunCommand({"Zendrel.exe", "Q:"}), c.code);
        EXPECT_TRUE(Fake().writes.empty());
    }
}

TEST_F(Removal, NameIsUsedExactlyAsTyped) {
    Fake().devices["q:"] = {"\\Device\\lower"};
    EXPECT_EQ(RunCommand({"Zendrel.exe", "q:", "-y"}), 0);
    EXPECT_EQ(CallCount("QueryDosDeviceA q:"), 2u);
    EXPECT_EQ(CallCount("DefineDosDeviceA 0x0A q:"), 1u);
}

TEST_F(Removal, NameOfLongestFittingLengthWorks) {
    std::string name(259, 'N');
    Fake().devices[name] = {"\\Device\\Long"};
    EXPECT_EQ(RunCommand({"Zendrel.exe", name, "-y"}), 0);
    EXPECT_EQ(Output(), "KernelName of " + name + " is \\Device\\Long\n" + name + " removed\n");
}

TEST_F(Removal, EmptyOrOverLongNameIsRejectedWithoutAnyPlatformCall) {
    // Even a defined name is refused: cutting a long one short could hit
    // another one, and the empty name resolves to the namespace's own
    // directory, as under Wine.
    for (size_t length : {0u, 260u, 261u, 5000u}) {
        for (const char *confirm : {"-y", "extra"}) {
            ResetFake();
            std::string name(length, 'N');
            Fake().devices[name] = {"\\??"};
            Fake().devices[name.substr(0, 259)] = {"\\Device\\Other"};
            Fake().input = "y\n";
            EXPECT_EQ(RunCommand({"Zendrel.exe", name, confirm}), 2)
                << length << " characters, then " << confirm;
            EXPECT_EQ(Output(), "DosDevice not found -> abort\n");
            EXPECT_EQ(Fake().calls, (std::vector<std::string>{"wvsprintfA", "WriteFile"}));
        }
    }
}

} // namespace
