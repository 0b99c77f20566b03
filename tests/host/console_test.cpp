// Console streams against scripted standard handles.
#include <gtest/gtest.h>

#include <string>

#include "runtime/console.h"
#include "tests/host/quoted.h"
#include "tests/standins/fake_platform.h"

namespace {

class Console : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetFake();
        InitStandardStreams();
    }
};

TEST_F(Console, InitialiserFillsRecordsInOrderAndSucceeds) {
    ResetFake();
    Fake().stdHandles[1] = INVALID_HANDLE_VALUE; // stored unexamined
    EXPECT_EQ(InitStandardStreams(), 0);
    EXPECT_EQ(StandardInput.handle, FakeInputHandle());
    EXPECT_EQ(StandardOutput.handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(StandardError.handle, FakeErrorHandle());
    EXPECT_EQ(StandardInput.pushback, -1);
    EXPECT_EQ(StandardOutput.pushback, -1);
    EXPECT_EQ(StandardError.pushback, -1);
    std::vector<std::string> expected = {"GetStdHandle -10", "GetStdHandle -11",
                                         "GetStdHandle -12"};
    EXPECT_EQ(Fake().calls, expected);
}

TEST_F(Console, ReadsOneByteAtATimeAndTellsHighBytesFromEnd) {
    Fake().input = std::string("a\xFF\x00", 3);
    EXPECT_EQ(StreamReadByte(&StandardInput), 'a');
    EXPECT_EQ(StreamReadByte(&StandardInput), 255);
    EXPECT_EQ(StreamReadByte(&StandardInput), 0);
    EXPECT_EQ(StreamReadByte(&StandardInput), -1);
    EXPECT_EQ(StreamReadByte(&StandardInput), -1);
    EXPECT_EQ(Fake().readSizes, (std::vector<DWORD>{1, 1, 1, 1, 1}));
}

TEST_F(Console, FailedReadIsEndOfInput) {
    Fake().input = "xyz";
    Fake().readFailsAt = 1;
    EXPECT_EQ(StreamReadByte(&StandardInput), 'x');
    EXPECT_EQ(StreamReadByte(&StandardInput), -1);
}

TEST_F(Console, PushbackIsServedWithoutAPlatformRead) {
    Fake().input = "b";
    EXPECT_EQ(StreamUnreadByte('a', &StandardInput), 'a');
    EXPECT_EQ(StreamReadByte(&StandardInput), 'a');
    EXPECT_EQ(CallCount("ReadFile"), 0u);
    EXPECT_EQ(StandardInput.pushback, -1);
    EXPECT_EQ(StreamReadByte(&StandardInput), 'b');
    EXPECT_EQ(CallCount("ReadFile"), 1u);
}

TEST_F(Console, PushbackRefusesEndOfInputAndASecondValue) {
    EXPECT_EQ(StreamUnreadByte(-1, &StandardInput), -1);
    EXPECT_EQ(StandardInput.pushback, -1);
    EXPECT_EQ(StreamUnreadByte(255, &StandardInput), 255);
    EXPECT_EQ(StreamUnreadByte('q', &StandardInput), -1);
    EXPECT_EQ(StreamUnreadByte(-1, &StandardInput), -1);
    EXPECT_EQ(StreamReadByte(&StandardInput), 255);
    EXPECT_EQ(StreamReadByte(&StandardInput), -1); // nothing scripted
}

struct WriteCase {
    const char *name;
    bool refuse;
    bool shortWrite;
    const char *text;
    int result;
    const char *recorded;
};

void PrintTo(const WriteCase &c, std::ostream *out) {
    *out << Quoted(c.text);
    if (c.refuse)
        *out << " refused";
    if (c.shortWrite)
        *out << " written short";
    *out << " -> " << c.result << ", recorded " << Quoted(c.recorded);
}

class WriteText : public Console, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(WriteText, OneWriteAndAllOrNothingResult) {
    const WriteCase &c = GetParam();
    Fake().refuseWrites = c.refuse;
    Fake().shortWrites = c.shortWrite;
    EXPECT_EQ(StreamWriteText(c.text, &StandardOutput), c.result);
    EXPECT_EQ(CallCount("WriteFile"), 1u);
    EXPECT_EQ(WrittenTo(FakeOutputHandle()), c.recorded);
}

INSTANTIATE_TEST_SUITE_P(Cases, WriteText,
                         ::testing::Values(WriteCase{"plain", false, false, "hello\n", 6,
                                                     "hello\n"},
                                           WriteCase{"empty", false, false, "", 0, ""},
                                           WriteCase{"refused", true, false, "hello", -1, ""},
                                           WriteCase{"short", false, true, "hello", -1, "hell"}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(Console, PrintFormatsIntoOneWriteOnStandardOutput) {
    EXPECT_EQ(ConsolePrint("%s not removed, err=%u", "Q:", 4294967295u), 30);
    ASSERT_EQ(Fake().writes.size(), 1u);
    EXPECT_EQ(Fake().writes[0].handle, FakeOutputHandle());
    EXPECT_EQ(Fake().writes[0].bytes, "Q: not removed, err=4294967295");
}

TEST_F(Console, PrintCutsAtTheFormatterLimit) {
    std::string longName(2000, 'n');
    EXPECT_EQ(ConsolePrint("KernelName of %s is %s\n", longName.c_str(), "T"), 1023);
    ASSERT_EQ(Fake().writes.size(), 1u);
    EXPECT_EQ(Fake().writes[0].bytes, "KernelName of " + std::string(1023 - 14, 'n'));
}

TEST_F(Console, PrintReportsRefusedOutputAndGoesOn) {
    Fake().refuseWrites = true;
    EXPECT_EQ(ConsolePrint("a"), -1);
    Fake().refuseWrites = false;
    EXPECT_EQ(ConsolePrint("b"), 1);
    EXPECT_EQ(WrittenTo(FakeOutputHandle()), "b");
}

} // namespace
