// Command-line splitting: each text is measured, split into a block of
// exactly the measured size (so AddressSanitizer sees any write past it), and
// the whole block layout is checked, not just the resulting arguments.
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/cmdline.h"
#include "tests/host/quoted.h"

namespace {

const int SlotWidth = static_cast<int>(sizeof(char *));
const unsigned char Untouched = 0xA5;

// Block size the 32-bit target would need for the same split.
int SizeWithFourByteSlots(int count, int stored) {
    return count * 5 + stored + 16;
}

struct Split {
    int count = -1;
    int size = -1;
    std::vector<std::string> args;
};

// Measures and fills, checking the block byte by byte; failures are reported
// against the caller's test.
Split SplitAndCheck(const char *text) {
    Split result;
    int measured = -1;
    int size = SplitCommandLine(text, &measured, nullptr, nullptr);
    EXPECT_EQ(SplitCommandLine(text, nullptr, nullptr, nullptr), size);
    EXPECT_GE(measured, 0);
    EXPECT_GE(size, ArgumentSlotBytes(measured) + measured + 4 + ArgumentBlockSpare);
    if (measured < 0 || size <= 0)
        return result;

    unsigned char *block = static_cast<unsigned char *>(std::malloc(size));
    for (int i = 0; i < size; ++i)
        block[i] = Untouched;
    char **slots = reinterpret_cast<char **>(block);
    char *region = reinterpret_cast<char *>(block) + ArgumentSlotBytes(measured);
    int filled = -1;
    EXPECT_EQ(SplitCommandLine(text, &filled, slots, region), size);
    EXPECT_EQ(filled, measured);
    if (filled != measured) {
        std::free(block);
        return result;
    }

    // Walk the text region: NUL, argument, NUL, argument, ..., four zeros,
    // then the spare bytes, which nothing may have written.
    char *end = reinterpret_cast<char *>(block) + size;
    char *at = region;
    int stored = 0;
    for (int i = 0; i < measured; ++i) {
        EXPECT_EQ(*at, '\0') << "argument " << i << " lacks its leading NUL";
        EXPECT_EQ(slots[i], at + 1) << "slot " << i;
        ++at;
        size_t length = strnlen(at, end - at);
        if (at + length >= end) {
            ADD_FAILURE() << "argument " << i << " runs off the block";
            std::free(block);
            return result;
        }
        result.args.push_back(std::string(at, length));
        stored += static_cast<int>(length);
        at += length;
    }
    EXPECT_EQ(slots[measured], nullptr);
    EXPECT_EQ(end - at, 4 + ArgumentBlockSpare);
    for (int i = 0; i < 4 && at + i < end; ++i)
        EXPECT_EQ(at[i], '\0') << "closing zero byte " << i;
    for (char *spare = at + 4; spare < end; ++spare)
        EXPECT_EQ(static_cast<unsigned char>(*spare), Untouched) << "spare byte written";
    EXPECT_EQ(size, measured * (SlotWidth + 1) + stored + SlotWidth + 12);
#if defined(__i386__)
    EXPECT_EQ(size, SizeWithFourByteSlots(measured, stored));
#endif
    std::free(block);
    result.count = measured;
    result.size = size;
    return result;
}

int StoredBytes(const std::vector<std::string> &args) {
    int stored = 0;
    for (const std::string &arg : args)
        stored += static_cast<int>(arg.size());
    return stored;
}

struct SplitCase {
    const char *name;
    std::string text;
    std::vector<std::string> args;
    int sizeWithFourByteSlots; // 0: not checked beyond the general formula
};

void PrintTo(const SplitCase &row, std::ostream *out) {
    *out << Quoted(row.text) << " -> " << Quoted(row.args);
    if (row.sizeWithFourByteSlots != 0)
        *out << ", " << row.sizeWithFourByteSlots << " bytes with 4-byte slots";
}

class SplitTable : public testing::TestWithParam<SplitCase> {};

TEST_P(SplitTable, ProducesArgumentsAndLayout) {
    const SplitCase &row = GetParam();
    Split split = SplitAndCheck(row.text.c_str());
    EXPECT_EQ(split.count, static_cast<int>(row.args.size()));
    EXPECT_EQ(split.args, row.args);
    if (row.sizeWithFourByteSlots != 0) {
        EXPECT_EQ(SizeWithFourByteSlots(split.count, StoredBytes(split.args)),
                  row.sizeWithFourByteSlots);
    }
}

const SplitCase SplitCases[] = {
    {"Empty", "", {}, 16},
    {"OnlyBlanks", " \t\r\n  ", {}, 16},
    {"OnlyControlBytes", "\x01\x1f\x7f", {"\x7f"}, 22},
    {"PlainWords", "prog X: -y", {"prog", "X:", "-y"}, 39},
    {"SurroundingBlanks", "   a    b\t\t", {"a", "b"}, 28},
    {"QuotedPathAndJoinedQuote",
     "\"C:\\my prog\\a.exe\"  \"a b\"c d",
     {"C:\\my prog\\a.exe", "a bc", "d"},
     0},
    {"OddRunEscapesQuote", "a\\\\\\\"b", {"a\\\"b"}, 25},
    {"OneBackslashEscapesQuote", "\\\"", {"\""}, 22},
    {"FiveBackslashesBeforeQuote", "\\\\\\\\\\\"x", {"\\\\\"x"}, 25},
    {"EvenRunTogglesQuote", "c\\\\\"d e\"", {"c\\d e"}, 26},
    {"FourBackslashesThenQuoted", "\\\\\\\\\"a b\"", {"\\\\a b"}, 26},
    {"BackslashesNotBeforeQuote", "a\\\\b \\x\\", {"a\\\\b", "\\x\\"}, 33},
    {"EmptyQuotes", "\"\"", {""}, 21},
    {"EmptyQuotesBetweenWords", "a \"\" b", {"a", "", "b"}, 33},
    {"DoubledQuoteLeavesSection", "x \"a\"\"b\" c", {"x", "a\"b c"}, 0},
    {"DoubledQuoteThenBlankSeparates", "\"a\"\" b", {"a\"", "b"}, 0},
    {"TripledQuote", "\"\"\"", {"\""}, 0},
    {"FourQuotesReopen", "\"\"\"\" x", {"\" x"}, 0},
    {"EmptyQuotesJoin", "ab\"\"cd", {"abcd"}, 0},
    {"OddRunAfterClosingQuote", "\"a\"\\\"b c\"", {"a\"b", "c"}, 0},
    {"EvenRunAfterClosingQuote", "\"a\"\\\\\"b c\"", {"a\\b c"}, 0},
    {"ClosingQuoteThenLetter", "\"a\"b", {"ab"}, 0},
    {"ControlBytesSeparate",
     "a\tb\x01"
     "c\x1f"
     "d\x7f",
     {"a", "b", "c", "d\x7f"},
     0},
    {"HighBytesAreOrdinary",
     "\xa0\x80\xff"
     "a b\xe9",
     {"\xa0\x80\xff"
      "a",
      "b\xe9"},
     0},
    {"BlanksInsideQuotesKept",
     "\"a\tb\x01"
     "c \"",
     {"a\tb\x01"
      "c "},
     0},
    {"UnterminatedQuoteKeepsBlanks", "a \"b  c  ", {"a", "b  c  "}, 0},
    {"TrailingLoneBackslash", "a\\", {"a\\"}, 0},
    {"LoneBackslashArgument", "a \\", {"a", "\\"}, 0},
    {"TrailingBackslashRun", "a\\\\\\", {"a\\\\\\"}, 0},
    {"EvenRunThenQuoteAtEnd", "a\\\\\"", {"a\\"}, 0},
    {"SingleQuotesAndCaretsOrdinary", "'a b' ^c", {"'a", "b'", "^c"}, 0},
    {"EmbeddedNulEndsText", std::string("a\0b c", 5), {"a"}, 0},
};

INSTANTIATE_TEST_SUITE_P(CommandLine, SplitTable, testing::ValuesIn(SplitCases),
                         [](const testing::TestParamInfo<SplitCase> &info) {
                             return std::string(info.param.name);
                         });

TEST(SplitCommandLine, CountPointerIsOptional) {
    int count = -1;
    int size = SplitCommandLine("p a b", &count, nullptr, nullptr);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(SplitCommandLine("p a b", nullptr, nullptr, nullptr), size);

    char *block = static_cast<char *>(std::malloc(size));
    char **slots = reinterpret_cast<char **>(block);
    EXPECT_EQ(SplitCommandLine("p a b", nullptr, slots, block + ArgumentSlotBytes(count)), size);
    EXPECT_STREQ(slots[0], "p");
    EXPECT_STREQ(slots[2], "b");
    EXPECT_EQ(slots[3], nullptr);
    std::free(block);
}

TEST(SplitCommandLine, NullTextIsEmpty) {
    Split split = SplitAndCheck(nullptr);
    EXPECT_EQ(split.count, 0);
    EXPECT_EQ(split.size, ArgumentBlockFixedBytes);
}

// A half-given block is not filled: only the count is written.
TEST(SplitCommandLine, WritesNothingWithoutBothRegions) {
    unsigned char area[64];
    for (unsigned char &byte : area)
        byte = Untouched;
    int count = -1;
    SplitCommandLine("a b", &count, reinterpret_cast<char **>(area), nullptr);
    EXPECT_EQ(count, 2);
    SplitCommandLine("a b c", &count, nullptr, reinterpret_cast<char *>(area));
    EXPECT_EQ(count, 3);
    for (unsigned char byte : area)
        ASSERT_EQ(byte, Untouched);
}

// Text past the read limit is treated as absent, whatever it holds.
TEST(SplitCommandLine, StopsReadingAtTheLimit) {
    std::string text(CommandLineByteLimit - 1, 'a');
    text += " b c";
    Split split = SplitAndCheck(text.c_str());
    ASSERT_EQ(split.count, 1);
    EXPECT_EQ(split.args[0].size(), static_cast<size_t>(CommandLineByteLimit - 1));

    std::string joined(CommandLineByteLimit, 'a');
    joined += "bcd";
    split = SplitAndCheck(joined.c_str());
    ASSERT_EQ(split.count, 1);
    EXPECT_EQ(split.args[0], std::string(CommandLineByteLimit, 'a'));

    // A backslash run reaching the limit is cut there too, so the quote
    // beyond it neither halves the run nor is stored.
    std::string run(CommandLineByteLimit - 2, 'a');
    run += "\\\\\\\"x";
    split = SplitAndCheck(run.c_str());
    ASSERT_EQ(split.count, 1);
    EXPECT_EQ(split.args[0], std::string(CommandLineByteLimit - 2, 'a') + "\\\\");
}

} // namespace
