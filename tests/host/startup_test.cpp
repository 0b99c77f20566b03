// Process start-up and shutdown with the process-level calls scripted.
#include <gtest/gtest.h>

#include <csetjmp>
#include <string>
#include <vector>

#include "runtime/console.h"
#include "runtime/startup.h"
#include "tests/host/quoted.h"
#include "tests/standins/fake_platform.h"

namespace {

std::vector<std::string> order;

int RecordA() {
    order.push_back("A");
    return 0;
}
int RecordB() {
    order.push_back("B");
    return 7;
}
int RecordC() {
    order.push_back("C");
    return 0;
}
void ExitOne() {
    order.push_back("exit1");
}
void ExitTwo() {
    order.push_back("exit2");
}
int Fails() {
    return 0;
}

class Startup : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetFake();
        order.clear();
        savedPreStart = PreStartHook;
        savedPreTerminator = PreTerminatorTable[0];
        savedTerminator = TerminatorTable[0];
    }
    void TearDown() override {
        PreStartHook = savedPreStart;
        PreTerminatorTable[0] = savedPreTerminator;
        TerminatorTable[0] = savedTerminator;
        ExitList.count = 0;
    }

    // Runs the process entry until the stand-in ExitProcess, and returns the
    // exit code it was given.
    UINT RunProcess(const char *commandLine) {
        Fake().commandLine = commandLine;
        std::jmp_buf exitJump;
        Fake().exitJump = &exitJump;
        if (setjmp(exitJump) == 0)
            ProcessEntry();
        Fake().exitJump = nullptr;
        return Fake().exitCode;
    }

    HookSlot savedPreStart = nullptr;
    HookSlot savedPreTerminator = nullptr;
    HookSlot savedTerminator = nullptr;
};

TEST_F(Startup, HookTableSkipsEmptySlotsAndStopsOnFirstFailureWhenAsked) {
    HookSlot table[] = {nullptr, RecordA, nullptr, RecordB, RecordC};
    EXPECT_EQ(RunHookTable(table, table + 5, true), 7);
    EXPECT_EQ(order, (std::vector<std::string>{"A", "B"}));
    order.clear();
    EXPECT_EQ(RunHookTable(table, table + 5, false), 0);
    EXPECT_EQ(order, (std::vector<std::string>{"A", "B", "C"}));
    HookSlot empty[] = {nullptr, nullptr};
    EXPECT_EQ(RunHookTable(empty, empty + 2, true), 0);
    EXPECT_EQ(RunHookTable(table, table, true), 0);
}

TEST_F(Startup, FloatingPointCheckSucceedsHere) {
    EXPECT_EQ(CheckFloatingPointUnit(), 1);
}

struct ProcessCase {
    const char *name;
    const char *commandLine;
    UINT exitCode;
    const char *output;
};

void PrintTo(const ProcessCase &c, std::ostream *out) {
    *out << Quoted(c.commandLine) << " -> exit " << c.exitCode << ", output "
         << (c.output == nullptr ? "the usage text" : Quoted(c.output));
}

class Process : public Startup, public ::testing::WithParamInterface<ProcessCase> {};

TEST_P(Process, RunsTheCommandOnTheSplitCommandLine) {
    const ProcessCase &c = GetParam();
    Fake().devices["Q:"] = {"\\Device\\Q"};
    EXPECT_EQ(RunProcess(c.commandLine), c.exitCode);
    if (c.output == nullptr)
        EXPECT_EQ(Fake().writes.size(), 10u); // the usage text
    else
        EXPECT_EQ(WrittenTo(FakeOutputHandle()), c.output);
    // One block of the measured size, freed after the command.
    ASSERT_EQ(Fake().allocations.size(), 1u);
    EXPECT_EQ(Fake().frees, 1);
    EXPECT_EQ(Fake().liveBlock, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Process,
    ::testing::Values(ProcessCase{"empty", "", 1, nullptr},
                      ProcessCase{"program_only", "Zendrel.exe", 1, nullptr},
                      ProcessCase{"removes", "\"C:\\my tools\\Zendrel.exe\" Q: -y", 0,
                                  "KernelName of Q: is \\Device\\Q\nQ: removed\n"},
                      ProcessCase{"quoted_switch", "z \"Q:\" \"-y\"", 0,
                                  "KernelName of Q: is \\Device\\Q\nQ: removed\n"},
                      ProcessCase{"not_found", "z \"R: -y\"", 2, "DosDevice not found -> abort\n"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Startup, UsageOutputGoesOutForEmptyCommandLines) {
    for (const char *line : {"", "   \t", "Zendrel.exe"}) {
        ResetFake();
        EXPECT_EQ(RunProcess(line), 1u);
        EXPECT_EQ(Fake().writes.size(), 10u);
        EXPECT_EQ(Fake().writes[0].bytes, "Zendrel - removes a 'DOS Device Name' definition\n");
    }
}

TEST_F(Startup, MissingCommandLineCountsAsEmpty) {
    EXPECT_EQ(RunProcess(nullptr), 1u);
    EXPECT_EQ(Fake().writes.size(), 10u);
}

TEST_F(Startup, MeasuredSizeIsAllocated) {
    // Three arguments of 4 + 2 + 2 stored bytes: the block holds each slot and
    // leading NUL, the bytes, the null slot, four zero bytes and 8 spare.
    RunProcess("prog X: -y");
    SIZE_T slot = sizeof(char *);
    ASSERT_EQ(Fake().allocations.size(), 1u);
    EXPECT_EQ(Fake().allocations[0], 3 * (slot + 1) + 8 + slot + 4 + 8);
}

TEST_F(Startup, FailedAllocationShowsUsageAndExitsOne) {
    Fake().devices["Q:"] = {"\\Device\\Q"};
    Fake().failAllocation = true;
    EXPECT_EQ(RunProcess("z Q: -y"), 1u);
    EXPECT_EQ(Fake().writes.size(), 10u);
    EXPECT_EQ(CallCount("QueryDosDeviceA") + CallCount("HeapFree"), 0u);
    EXPECT_EQ(Fake().devices["Q:"].size(), 1u);
}

TEST_F(Startup, MissingHeapEndsWithMinusThreeBeforeAnyOutput) {
    Fake().noProcessHeap = true;
    EXPECT_EQ(RunProcess("z Q: -y"), 0xFFFFFFFDu);
    EXPECT_TRUE(Fake().writes.empty());
    EXPECT_EQ(CallCount("GetCommandLineA") + CallCount("HeapAlloc"), 0u);
    // The streams were set up first: the initialisers run in table order.
    EXPECT_EQ(CallCount("GetStdHandle"), 3u);
    EXPECT_EQ(Fake().calls.back(), "ExitProcess 4294967293");
}

TEST_F(Startup, FailedFloatingPointCheckEndsWithMinusTwoBeforeAnything) {
    PreStartHook = Fails;
    EXPECT_EQ(RunProcess("z Q: -y"), 0xFFFFFFFEu);
    EXPECT_EQ(Fake().calls, (std::vector<std::string>{"ExitProcess 4294967294"}));
}

TEST_F(Startup, ExitRunsExitListLastFirstThenPreTerminatorsThenTerminators) {
    ExitList.slots[0] = ExitOne;
    ExitList.slots[1] = ExitTwo;
    ExitList.count = 2;
    PreTerminatorTable[0] = RecordB; // its non-zero result stops nothing
    TerminatorTable[0] = RecordC;
    EXPECT_EQ(RunProcess("z"), 1u);
    EXPECT_EQ(order, (std::vector<std::string>{"exit2", "exit1", "B", "C"}));
    EXPECT_EQ(ExitList.count, 0);
}

} // namespace
