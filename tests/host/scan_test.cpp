// Formatted input over the scripted standard input. Destinations sit inside
// guard-filled buffers and are checked byte by byte, so a store that is too
// wide, too narrow or misplaced shows up; every platform read must be a
// one-byte read, and the bytes left unread are checked after each scan.
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <iomanip>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "runtime/console.h"
#include "runtime/scan.h"
#include "tests/host/quoted.h"
#include "tests/standins/fake_platform.h"

namespace {

const int Lead = 8;               // guard bytes before each destination
const int Untouched = 0x7E7E7E7E; // integer destinations nothing may store to
const unsigned char Fills[] = {0xFF, 0xA5};
const double Infinity = std::numeric_limits<double>::infinity();

void Feed(const std::string &input, long failAt = -1) {
    ResetFake();
    Fake().input = input;
    Fake().readFailsAt = failAt;
    InitStandardStreams();
}

// Everything still unread, pushback slot first.
std::string Rest() {
    std::string rest;
    for (int c = StreamReadByte(&StandardInput); c != -1; c = StreamReadByte(&StandardInput))
        rest += static_cast<char>(c);
    return rest;
}

void ExpectOneByteReads() {
    for (DWORD size : Fake().readSizes)
        EXPECT_EQ(size, 1u);
}

template <typename Row> std::string RowName(const testing::TestParamInfo<Row> &info) {
    return info.param.name;
}

// A row prints as its format and input, then what the scan must do.
template <typename Row> std::ostream &PrintScan(const Row &row, std::ostream *out) {
    return *out << Quoted(row.format) << " on " << Quoted(row.input) << " -> ";
}

// --- integer conversions and %n: the exact bytes stored -------------------

struct IntegerCase {
    const char *name;
    const char *format;
    const char *input;
    int result;
    int size; // bytes stored; 0 when nothing may be stored
    uint64_t stored;
    const char *rest;
};

void PrintTo(const IntegerCase &row, std::ostream *out) {
    PrintScan(row, out) << row.result << ", ";
    if (row.size == 0)
        *out << "nothing stored";
    else
        *out << row.size << " bytes 0x" << std::hex << std::uppercase << row.stored << std::dec
             << std::nouppercase;
    *out << ", rest " << Quoted(row.rest);
}

class IntegerTable : public testing::TestWithParam<IntegerCase> {};

TEST_P(IntegerTable, StoresExactlyItsWidth) {
    const IntegerCase &row = GetParam();
    for (unsigned char fill : Fills) {
        Feed(row.input);
        alignas(8) unsigned char buffer[Lead + 16];
        for (unsigned char &byte : buffer)
            byte = fill;
        EXPECT_EQ(ConsoleScan(row.format, buffer + Lead), row.result);
        for (int i = 0; i < static_cast<int>(sizeof buffer); ++i) {
            bool inside = i >= Lead && i < Lead + row.size;
            unsigned expected = inside ? (row.stored >> (8 * (i - Lead))) & 0xFF : fill;
            EXPECT_EQ(buffer[i], expected) << "byte " << i << ", fill " << unsigned(fill);
        }
        ExpectOneByteReads();
        EXPECT_EQ(Rest(), row.rest);
    }
}

const IntegerCase IntegerCases[] = {
    {"SkipsBlanksKeepsStopper", "%d", "  -42x", 1, 4, 0xFFFFFFD6, "x"},
    {"AllScanSpaces", "%d", "\t\n\v\f\r 7", 1, 4, 7, ""},
    {"LoneMinusAtEnd", "%d", "-", -1, 0, 0, ""},
    {"LonePlusAtEnd", "%d", "+", -1, 0, 0, ""},
    {"MinusThenLetter", "%d", "-x", 0, 0, 0, "x"},
    {"EmptyInput", "%d", "", -1, 0, 0, ""},
    {"OnlyBlanks", "%d", " \n ", -1, 0, 0, ""},
    {"NotADigit", "%d", "/1", 0, 0, 0, "/1"},
    {"ColonStops", "%d", "1:", 1, 4, 1, ":"},
    {"ByteFFIsNotEnd", "%d", "\xff", 0, 0, 0, "\xff"},
    {"WidthTwo", "%2d", "123", 1, 4, 12, "3"},
    {"SignUsesWidth", "%3d", "-123", 1, 4, 0xFFFFFFF4, "3"},
    {"SignFillsWidth", "%1d", "-5", 0, 0, 0, "5"},
    {"PlusFillsWidth", "%1d", "+5", 0, 0, 0, "5"},
    {"WidthStopsAtBlank", "%5d", "12 34", 1, 4, 12, " 34"},
    {"ZeroWidthIsNoLimit", "%0d", "12345", 1, 4, 12345, ""},
    {"HugeWidthClamped", "%99999999999999999999d", "123", 1, 4, 123, ""},
    {"WrapsAt32Bits", "%d", "4294967297", 1, 4, 1, ""},
    {"WrapsIntoSign", "%d", "2147483648", 1, 4, 0x80000000, ""},
    {"UnsignedTakesSign", "%u", "-1", 1, 4, 0xFFFFFFFF, ""},
    {"HexMixedCase", "%x", "1fZ", 1, 4, 31, "Z"},
    {"HexUpperDirective", "%X", "aBcDeF", 1, 4, 0xABCDEF, ""},
    {"HexStopsAtG", "%x", "fG", 1, 4, 15, "G"},
    {"HexRejectsBracket", "%x", "[", 0, 0, 0, "["},
    {"HexRejectsBacktick", "%x", "`", 0, 0, 0, "`"},
    {"HexNoPrefix", "%x", "0x10", 1, 4, 0, "x10"},
    {"OctalStopsAt8", "%o", "78", 1, 4, 7, "8"},
    {"OctalRejects9", "%o", "9", 0, 0, 0, "9"},
    {"IntegerNoPrefix", "%i", "0x10", 1, 4, 0, "x10"},
    {"IntegerNoOctal", "%i", "010", 1, 4, 10, ""},
    {"CharWidth", "%hhd", "300", 1, 1, 44, ""},
    {"CharMinusOne", "%hhd", "-1", 1, 1, 0xFF, ""},
    {"ShortWidth", "%hd", "70000", 1, 2, 4464, ""},
    {"LongIs32", "%ld", "-5", 1, 4, 0xFFFFFFFB, ""},
    {"LongLongHighHalfZero", "%lld", "-5", 1, 8, 0x00000000FFFFFFFB, ""},
    {"I64HighHalfZero", "%I64d", "-5", 1, 8, 0x00000000FFFFFFFB, ""},
    {"LongLongWraps", "%llu", "4294967296", 1, 8, 0, ""},
    {"I64Hex", "%I64x", "FFFFFFFF", 1, 8, 0xFFFFFFFF, ""},
    {"IntmaxIs32", "%jd", "-1", 1, 4, 0xFFFFFFFF, ""},
    {"SizeIs32", "%zu", "7", 1, 4, 7, ""},
    {"PtrdiffIs32", "%td", "7", 1, 4, 7, ""},
    {"CapitalLIs32", "%Ld", "-1", 1, 4, 0xFFFFFFFF, ""},
    {"PointerEightDigits", "%p", "123456789", 1, 4, 0x12345678, "9"},
    {"PointerIgnoresLength", "%llp", "deadbeef", 1, 4, 0xDEADBEEF, ""},
    {"PointerIgnoresWidth", "%2p", "abc", 1, 4, 0xABC, ""},
    {"SuppressedStoresNothing", "%*d", "12", 0, 0, 0, ""},
    {"IWithout64IsConversion", "%I6d", "5", 0, 0, 0, "5"},
    // An unknown conversion, or a format ending inside the directive, still
    // skips blanks and meets end of input first; then the scan stops.
    {"UnknownConversion", "%q", " 5", 0, 0, 0, "5"},
    {"UnknownConversionOnEmptyInput", "%q", "", -1, 0, 0, ""},
    {"UnknownAfterLength", "%jq", " 75Z.", 0, 0, 0, "75Z."},
    {"FormatEndsAfterPercent", "%", "\t5", 0, 0, 0, "5"},
    {"FormatEndsAfterSuppression", "%*", " \n", -1, 0, 0, ""},
    {"FormatEndsAfterLength", "%5ll", "5", 0, 0, 0, "5"},
    {"CountAtStart", "%n", "abc", 0, 4, 0, "abc"},
    {"CountAfterSuppressed", "%*d%n", "123x", 0, 4, 3, "x"},
    {"CountAtEndOfInput", "%*d%n", "123", 0, 4, 3, ""},
    {"CountIntoChar", "%*s%hhn", "abcde", 0, 1, 5, ""},
    {"CountIntoLongLong", "%*s%lln", "abc", 0, 8, 3, ""},
};

INSTANTIATE_TEST_SUITE_P(Scan, IntegerTable, testing::ValuesIn(IntegerCases), RowName<IntegerCase>);

// --- c, s and scansets: bytes stored, and nothing past them ---------------

struct TextCase {
    const char *name;
    const char *format;
    const char *input;
    int result;
    const char *stored;
    bool terminated; // a NUL follows the stored bytes
    const char *rest;
};

void PrintTo(const TextCase &row, std::ostream *out) {
    PrintScan(row, out) << row.result << ", stored " << Quoted(row.stored)
                        << (row.terminated ? " and a NUL" : "") << ", rest " << Quoted(row.rest);
}

class TextTable : public testing::TestWithParam<TextCase> {};

TEST_P(TextTable, StoresBytesAndNothingBeyond) {
    const TextCase &row = GetParam();
    Feed(row.input);
    unsigned char buffer[Lead + 40];
    std::memset(buffer, 0xA5, sizeof buffer);
    EXPECT_EQ(ConsoleScan(row.format, buffer + Lead), row.result);
    std::string expected(Lead, '\xa5');
    expected += row.stored;
    if (row.terminated)
        expected += '\0';
    expected.resize(sizeof buffer, '\xa5');
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer), sizeof buffer), expected);
    ExpectOneByteReads();
    EXPECT_EQ(Rest(), row.rest);
}

const TextCase TextCases[] = {
    {"CharLeavesLineEnd", "%c", "y\n", 1, "y", false, "\n"},
    {"CharOnEmptyInput", "%c", "", -1, "", false, ""},
    {"CharDoesNotSkipBlanks", "%c", " y", 1, " ", false, "y"},
    {"SpaceBeforeCharSkips", " %c", "  \n y", 1, "y", false, ""},
    {"CharWidthNoNul", "%3c", "abcdef", 1, "abc", false, "def"},
    {"CharWidthEndsEarly", "%3c", "ab", -1, "ab", false, ""},
    {"CharHugeWidth", "%99999999999999999999c", "abc", -1, "abc", false, ""},
    {"CharSuppressed", "%*3c", "abcd", 0, "", false, "d"},
    {"StringToBlank", "%s", "  hello world", 1, "hello", true, " world"},
    {"StringWidth", "%3s", "abcdef", 1, "abc", true, "def"},
    {"StringToEnd", "%s", "abc", 1, "abc", true, ""},
    {"StringEmptyInput", "%s", "", -1, "", false, ""},
    {"StringOnlyBlanks", "%s", " \t", -1, "", false, ""},
    {"StringHighBytes", "%s", "\xe9\xff x", 1, "\xe9\xff", true, " x"},
    {"SetMembers", "%[abc]", "abcd", 1, "abc", true, "d"},
    {"SetNegated", "%[^,]", "key,value", 1, "key", true, ",value"},
    {"SetLeadingBracket", "%[]]", "]]a", 1, "]]", true, "a"},
    {"SetNegatedLeadingBracket", "%[^]]", "ab]c", 1, "ab", true, "]c"},
    {"SetDashIsMember", "%[a-c]", "a-cb", 1, "a-c", true, "b"},
    {"SetLeftOpen", "%[abc", "cabd", 1, "cab", true, "d"},
    {"SetNegatedLeftOpen", "%[^", "xy z", 1, "xy z", true, ""},
    {"SetEmptyLeftOpen", "%[", "abc", 0, "", false, "abc"},
    {"SetWidth", "%2[a]", "aaaa", 1, "aa", true, "aa"},
    {"SetNoMatch", "%[a]", "b", 0, "", false, "b"},
    {"SetEmptyInput", "%[a]", "", -1, "", false, ""},
    {"SetKeepsBlanks", "%[ ]", "  x", 1, "  ", true, "x"},
    {"SetToLineEnd", "%[^\n]", "line one\nrest", 1, "line one", true, "\nrest"},
    {"SetHighBytes", "%[\xff]", "\xff\xff\xfe", 1, "\xff\xff", true, "\xfe"},
    {"SetThenLiteral", "%[ab]c", "abcd", 1, "ab", true, "d"},
    {"SetSuppressed", "%*[ab]", "abc", 0, "", false, "c"},
};

INSTANTIATE_TEST_SUITE_P(Scan, TextTable, testing::ValuesIn(TextCases), RowName<TextCase>);

// --- floating conversions -------------------------------------------------

struct FloatCase {
    const char *name;
    const char *format;
    const char *input;
    int result;
    int size; // 4: float, 8: double, 0: nothing stored
    double value;
    const char *rest;
};

void PrintTo(const FloatCase &row, std::ostream *out) {
    PrintScan(row, out) << row.result << ", ";
    if (row.size == 0)
        *out << "nothing stored";
    else
        *out << (row.size == 4 ? "float " : "double ") << std::setprecision(17) << row.value;
    *out << ", rest " << Quoted(row.rest);
}

class FloatTable : public testing::TestWithParam<FloatCase> {};

TEST_P(FloatTable, StoresValueOfItsWidth) {
    const FloatCase &row = GetParam();
    Feed(row.input);
    alignas(8) unsigned char buffer[Lead + 16];
    std::memset(buffer, 0xA5, sizeof buffer);
    EXPECT_EQ(ConsoleScan(row.format, buffer + Lead), row.result);
    unsigned char expected[sizeof buffer];
    std::memset(expected, 0xA5, sizeof expected);
    float narrow = static_cast<float>(row.value);
    if (row.size == 4)
        std::memcpy(expected + Lead, &narrow, 4);
    if (row.size == 8)
        std::memcpy(expected + Lead, &row.value, 8);
    EXPECT_EQ(std::memcmp(buffer, expected, sizeof buffer), 0);
    if (row.size == 4) {
        float got;
        std::memcpy(&got, buffer + Lead, 4);
        EXPECT_EQ(got, narrow);
    }
    if (row.size == 8) {
        double got;
        std::memcpy(&got, buffer + Lead, 8);
        EXPECT_FALSE(std::isnan(got));
        EXPECT_EQ(got, row.value);
    }
    ExpectOneByteReads();
    EXPECT_EQ(Rest(), row.rest);
}

const FloatCase FloatCases[] = {
    {"Exponent", "%f", "1.5e2", 1, 4, 150.0, ""},
    {"ExponentLetterAtEnd", "%f", "2e", 1, 4, 2.0, ""},
    {"ExponentLetterThenOther", "%f", "2ex", 1, 4, 2.0, "x"},
    {"ExponentSignAtEnd", "%f", "2e+", 1, 4, 2.0, ""},
    {"ExponentMinusThenOther", "%f", "2e-x", 1, 4, 2.0, "x"},
    {"LeadingPoint", "%f", ".25", 1, 4, 0.25, ""},
    {"LonePoint", "%f", ".", 0, 0, 0, ""},
    {"MinusPoint", "%f", "-.", 0, 0, 0, ""},
    {"PointThenLetter", "%f", ".x", 0, 0, 0, "x"},
    {"ExponentWithoutMantissa", "%f", "e5x", 0, 0, 0, "x"},
    {"LoneMinusAtEnd", "%f", "-", -1, 0, 0, ""},
    {"OnlyBlanks", "%f", "  ", -1, 0, 0, ""},
    {"PlusSign", "%f", "+1.5", 1, 4, 1.5, ""},
    {"MinusSign", "%f", " -1.5;", 1, 4, -1.5, ";"},
    {"NegativeZero", "%f", "-0", 1, 4, -0.0, ""},
    {"TrailingPoint", "%f", "7.", 1, 4, 7.0, ""},
    {"SecondPointStops", "%f", "1.5.5", 1, 4, 1.5, ".5"},
    {"SecondExponentStops", "%f", "1e5e5", 1, 4, 1e5, "e5"},
    {"NoHexFloats", "%f", "0x1p3", 1, 4, 0.0, "x1p3"},
    {"NoInfinityWord", "%f", "inf", 0, 0, 0, "inf"},
    {"NegativeExponentFloat", "%f", "1.25e-3", 1, 4, 1.25e-3, ""},
    {"FloatOverflowsToInfinity", "%f", "3.4e39", 1, 4, Infinity, ""},
    {"LongFraction", "%lf", ".1234567890123456789123", 1, 8, 0.12345678901234568, ""},
    {"DoubleTenth", "%lf", "0.1", 1, 8, 0.1, ""},
    {"DoubleTenthByExponent", "%lf", "1e-1", 1, 8, 0.1, ""},
    {"DoubleLargeExact", "%lf", "1e22", 1, 8, 1e22, ""},
    {"DoubleOverflow", "%lf", "1e400", 1, 8, Infinity, ""},
    {"DoubleUnderflow", "%lf", "1e-400", 1, 8, 0.0, ""},
    {"ZeroWithHugeExponent", "%lf", "0e512", 1, 8, 0.0, ""},
    {"NegativeZeroHugeExponent", "%lf", "-0.0e99999", 1, 8, -0.0, ""},
    {"ExponentBeyond32Bits", "%lf", "1e99999999999999999999", 1, 8, Infinity, ""},
    {"NegativeExponentBeyond32Bits", "%lf", "1e-99999999999999999999", 1, 8, 0.0, ""},
    {"CapitalL", "%Lf", "2.5", 1, 8, 2.5, ""},
    {"ShortIsFloat", "%hf", "2.5", 1, 4, 2.5, ""},
    {"LongLongIsFloat", "%llf", "2.5", 1, 4, 2.5, ""},
    {"EForm", "%e", "4", 1, 4, 4.0, ""},
    {"CapitalEForm", "%E", "4E1", 1, 4, 40.0, ""},
    {"GForm", "%g", "4", 1, 4, 4.0, ""},
    {"CapitalGForm", "%lG", "4", 1, 8, 4.0, ""},
    {"AForm", "%a", "4", 1, 4, 4.0, ""},
    {"CapitalAForm", "%A", "4", 1, 4, 4.0, ""},
    {"CapitalFForm", "%F", "4", 1, 4, 4.0, ""},
    {"WidthCountsPoint", "%3f", "1.234", 1, 4, 1.2f, "34"},
    {"WidthCountsSign", "%2f", "-12", 1, 4, -1.0, "2"},
    {"WidthCountsExponent", "%4f", "1e10", 1, 4, 1e10, ""},
    {"WidthEndsInExponent", "%3f", "1e10", 1, 4, 10.0, "0"},
    {"WidthEndsAfterLetter", "%2f", "1e5", 1, 4, 1.0, "5"},
    {"WidthEndsAfterSign", "%1f", "-5", 0, 0, 0, "5"},
    {"Suppressed", "%*f", "1.5", 0, 0, 0, ""},
};

INSTANTIATE_TEST_SUITE_P(Scan, FloatTable, testing::ValuesIn(FloatCases), RowName<FloatCase>);

// Every fraction digit is folded in while the scale stays finite, that is up
// to the 308th; later ones are dropped rather than making inf / inf.
TEST(ScanFloat, FractionDigitsFoldWhileScaleIsFinite) {
    Feed("0." + std::string(400, '1'));
    double value = 0;
    EXPECT_EQ(ConsoleScan("%lf", &value), 1);
    EXPECT_EQ(value, 0.11111111111111123);

    Feed("0." + std::string(307, '0') + "55");
    value = 0;
    EXPECT_EQ(ConsoleScan("%lf", &value), 1);
    EXPECT_EQ(value, 5.000000000000001e-308);

    Feed("1" + std::string(400, '0') + "e-400");
    value = 0;
    EXPECT_EQ(ConsoleScan("%lf", &value), 1);
    EXPECT_FALSE(std::isnan(value));
}

// --- field widths: their digits, clamped only beyond an int ---------------

TEST(ScanFieldWidth, DigitsUpToTheLargestInt) {
    const struct {
        const char *format;
        int width;
    } cases[] = {
        {"d", 0},
        {"0d", 0},
        {"007d", 7},
        {"1000000000d", 1000000000},
        {"2147483647d", 2147483647},
        {"2147483648d", 2147483647},
        {"4294967297d", 2147483647},
        {"99999999999999999999d", 2147483647},
    };
    for (const auto &c : cases) {
        const unsigned char *at = reinterpret_cast<const unsigned char *>(c.format);
        EXPECT_EQ(ScanFieldWidth(&at), c.width) << c.format;
        EXPECT_EQ(*at, 'd') << c.format;
    }
}

// --- several directives: literals, %%, suppression, %n --------------------

struct SequenceCase {
    const char *name;
    const char *format;
    const char *input;
    int result;
    int values[3]; // Untouched where nothing may be stored
    const char *rest;
};

void PrintTo(const SequenceCase &row, std::ostream *out) {
    PrintScan(row, out) << row.result << ", stores";
    for (int value : row.values)
        *out << ' ' << (value == Untouched ? "-" : std::to_string(value));
    *out << ", rest " << Quoted(row.rest);
}

class SequenceTable : public testing::TestWithParam<SequenceCase> {};

TEST_P(SequenceTable, StoresAndStops) {
    const SequenceCase &row = GetParam();
    Feed(row.input);
    int values[3] = {Untouched, Untouched, Untouched};
    EXPECT_EQ(ConsoleScan(row.format, &values[0], &values[1], &values[2]), row.result);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(values[i], row.values[i]) << "destination " << i;
    ExpectOneByteReads();
    EXPECT_EQ(Rest(), row.rest);
}

const int U = Untouched;
const SequenceCase SequenceCases[] = {
    {"SuppressedThenStored", "%*d %d", "1 2", 1, {2, U, U}, ""},
    {"SuppressedOnlyThenEnd", "%*d %d", "1", -1, {U, U, U}, ""},
    {"CountAfterPushback", "%d%n", "12x", 1, {12, 2, U}, "x"},
    {"CountAfterEndOfInput", "%d%n", "12", 1, {12, 2, U}, ""},
    {"CountAfterBlanks", "%d %n", "12   x", 1, {12, 5, U}, "x"},
    {"CountDoesNotCount", "%d%n%d", "12 34", 2, {12, 2, 34}, ""},
    {"CountAfterWidth", "%2d%n%d", "123", 2, {12, 2, 3}, ""},
    {"CountAfterSuppressed", "%d%*d%n", "1 23", 1, {1, 4, U}, ""},
    {"CountOnEmptyInput", "%n", "", 0, {0, U, U}, ""},
    {"CountAfterSpaceOnly", " %n", "   x", 0, {3, U, U}, "x"},
    {"CountAfterChars", "%*3c%n", "abcd", 0, {3, U, U}, "d"},
    {"CountAfterSet", "%*[a]%n", "aab", 0, {2, U, U}, "b"},
    {"CountAfterFloat", "%*f%n", "1.5e", 0, {4, U, U}, ""},
    {"CountAfterLiteral", "ab%n", "abc", 0, {2, U, U}, "c"},
    {"CountAfterPercent", "%%%n", "%", 0, {1, U, U}, ""},
    {"FailedFloatStops", "%*f%n", "e5x", 0, {U, U, U}, "x"},
    {"PercentBetween", "%d%%%d", "5%6", 2, {5, 6, U}, ""},
    {"PercentThenLetter", "%%d", "%d", 0, {U, U, U}, ""},
    {"PercentMismatch", "%%", "x", 0, {U, U, U}, "x"},
    {"PercentAtEnd", "%%", "", -1, {U, U, U}, ""},
    {"PercentAfterAssignment", "%d%%", "5", 1, {5, U, U}, ""},
    {"PercentDoesNotSkipBlanks", "%%", " %", 0, {U, U, U}, " %"},
    {"LiteralMatches", "%d,%d", "1,2", 2, {1, 2, U}, ""},
    {"LiteralMismatch", "%d,%d", "1;2", 1, {1, U, U}, ";2"},
    {"LiteralEndAfterAssignment", "%d,%d", "1", 1, {1, U, U}, ""},
    {"LiteralEndFirst", "x%d", "", -1, {U, U, U}, ""},
    {"LiteralMismatchFirst", "x%d", "y", 0, {U, U, U}, "y"},
    {"LiteralHighByte",
     "\xe9%d",
     "\xe9"
     "5",
     1,
     {5, U, U},
     ""},
    {"BlankMatchesNone", "%d %d", "1x", 1, {1, U, U}, "x"},
    {"BlankAtEndOfInput", "%d %d", "1 ", 1, {1, U, U}, ""},
    {"UnknownConversionStops", "%d%q%d", "1 2", 1, {1, U, U}, "2"},
    {"PercentAtFormatEnd", "%d%", "1 2", 1, {1, U, U}, "2"},
    {"SecondFailsAfterFirst", "%d%d", "1 x", 1, {1, U, U}, "x"},
};

INSTANTIATE_TEST_SUITE_P(Scan, SequenceTable, testing::ValuesIn(SequenceCases),
                         RowName<SequenceCase>);

// --- reads: one byte each, and none beyond the field ----------------------

struct ReadCase {
    const char *name;
    const char *format;
    const char *input;
    size_t reads;
};

void PrintTo(const ReadCase &row, std::ostream *out) {
    PrintScan(row, out) << row.reads << " reads";
}

class ReadTable : public testing::TestWithParam<ReadCase> {};

TEST_P(ReadTable, ReadsNoMoreThanNeeded) {
    const ReadCase &row = GetParam();
    Feed(row.input);
    alignas(8) char buffer[64];
    ConsoleScan(row.format, buffer);
    EXPECT_EQ(Fake().readSizes.size(), row.reads);
    ExpectOneByteReads();
}

const ReadCase ReadCases[] = {
    {"OneChar", "%c", "yz", 1},
    {"CharWidth", "%5c", "abcdefg", 5},
    {"CharOnEmptyInput", "%c", "", 1},
    {"IntegerWidth", "%2d", "123", 2},
    {"IntegerLookahead", "%d", "12 ", 3},
    {"IntegerToEnd", "%d", "12", 3},
    {"PointerWidth", "%p", "123456789", 8},
    {"StringWidth", "%3s", "abcdef", 3},
    {"SetWidth", "%2[a]", "aaaa", 2},
    {"FloatWidth", "%3f", "1.234", 3},
    {"Literal", "x", "xy", 1},
    {"UnknownConversion", "%q", "abc", 1},
    {"CountOnly", "%n", "abc", 0},
};

INSTANTIATE_TEST_SUITE_P(Scan, ReadTable, testing::ValuesIn(ReadCases), RowName<ReadCase>);

// --- failed reads end the input like end of input -------------------------

struct FailCase {
    const char *name;
    const char *format;
    const char *input;
    long failAt;
    int result;
    int value;
};

void PrintTo(const FailCase &row, std::ostream *out) {
    PrintScan(row, out) << row.result << ", stores ";
    if (row.value == Untouched)
        *out << "nothing";
    else
        *out << row.value;
    *out << ", the read at position " << row.failAt << " fails";
}

class FailTable : public testing::TestWithParam<FailCase> {};

TEST_P(FailTable, FailedReadIsEndOfInput) {
    const FailCase &row = GetParam();
    Feed(row.input, row.failAt);
    int value = Untouched;
    EXPECT_EQ(ConsoleScan(row.format, &value), row.result);
    EXPECT_EQ(value, row.value);
}

const FailCase FailCases[] = {
    {"MidNumber", "%d", "12345", 2, 1, 12},
    {"FirstByte", "%c", "y", 0, -1, Untouched},
    {"AfterBlank", "%*d %d", "1 2", 2, -1, Untouched},
    {"MidString", "%*s%n", "abc", 1, 0, 1},
};

INSTANTIATE_TEST_SUITE_P(Scan, FailTable, testing::ValuesIn(FailCases), RowName<FailCase>);

// --- the console entry and the pieces under it ----------------------------

TEST(ConsoleScan, ReadsAnswerAndLeavesRestForNextScan) {
    Feed("yes\n");
    char answer = 'N';
    EXPECT_EQ(ConsoleScan("%c", &answer), 1);
    EXPECT_EQ(answer, 'y');
    EXPECT_EQ(Fake().readSizes.size(), 1u);
    EXPECT_EQ(ConsoleScan("%c", &answer), 1);
    EXPECT_EQ(answer, 'e');

    int number = Untouched;
    Feed("12x");
    EXPECT_EQ(ConsoleScan("%d", &number), 1);
    EXPECT_EQ(StandardInput.pushback, 'x');
    EXPECT_EQ(ConsoleScan("%c", &answer), 1); // starts with the pushed-back byte
    EXPECT_EQ(answer, 'x');
}

TEST(ConsoleScan, EmptyInputLeavesAnswer) {
    Feed("");
    char answer = 'N';
    EXPECT_EQ(ConsoleScan("%c", &answer), -1);
    EXPECT_EQ(answer, 'N');
}

TEST(ScanSource, CountsEveryGetAndUnget) {
    Feed("a");
    ScanSource source;
    source.stream = &StandardInput;
    source.consumed = 0;
    EXPECT_EQ(SourceGet(&source), 'a');
    EXPECT_EQ(SourceGet(&source), -1);
    EXPECT_EQ(source.consumed, 2);
    SourceUnget(&source, -1); // refused by the stream, still counted back
    EXPECT_EQ(source.consumed, 1);
    EXPECT_EQ(StandardInput.pushback, -1);
    SourceUnget(&source, 'a');
    SourceUnget(&source, 'b'); // the slot is taken: refused, still counted back
    EXPECT_EQ(source.consumed, -1);
    EXPECT_EQ(StandardInput.pushback, 'a');
}

TEST(IsScanSpace, ExactlyBlankTabAndLineControls) {
    for (int c = -1; c < 256; ++c)
        EXPECT_EQ(IsScanSpace(c), c == ' ' || (c >= 9 && c <= 13)) << c;
}

TEST(ScanInteger, DirectCallsWithoutDestination) {
    Feed("ff;");
    ScanSource source;
    source.stream = &StandardInput;
    source.consumed = 0;
    EXPECT_EQ(ScanInteger(&source, 16, -1, ScanLengthDefault, nullptr), 1);
    EXPECT_EQ(source.consumed, 2);
    EXPECT_EQ(ScanInteger(&source, 10, -1, ScanLengthDefault, nullptr), 0);
    EXPECT_EQ(source.consumed, 2);
    EXPECT_EQ(ScanFloat(&source, -1, ScanLengthDefault, nullptr), 0);
    EXPECT_EQ(StreamReadByte(&StandardInput), ';');
    EXPECT_EQ(ScanFloat(&source, -1, ScanLengthDefault, nullptr), -1);
}

} // namespace
