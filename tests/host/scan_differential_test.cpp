// The scanner against the host C library's sscanf on generated formats and
// inputs (fixed seed, so every run sees the same cases). Both get identical
// guard-filled destinations; return value, every destination byte and every
// %n count must agree.
//
// Differences that are by design, and how the comparison allows for them:
// - "i" has no base prefix and reads exactly like "d": the host is given "d"
//   where the scanner gets "i". "x" stops at the 'x' of "0x": no generated
//   input contains an 'x'.
// - "%%" matches the next byte, where the host skips white space before it:
//   the host is given "%*1[%]", which matches one '%' without skipping.
// - "ll" stores the 32-bit value with a zero high half, where the host stores
//   the full 64-bit value: the low halves must agree and our high half must
//   be zero.
// - Floats are built in double arithmetic as whole + fraction / scale, then
//   scaled by squared powers of 10 or of 0.1, not correctly rounded: a float
//   destination may differ by 1 ulp when the input has an exponent letter
//   (a width may hand one field's exponent to another, so this goes by the
//   whole input), and otherwise not at all; a double destination by 1 ulp
//   for plain decimals, and with exponents below 100 by up to about
//   (exponent + 6) * 2^-52 relative (each squaring doubles the error of 0.1),
//   which stays below DoubleExponentUlps.
// - A "c" field cut short by the end of input ends the scan here and is not
//   counted; the host counts it and goes on (storing any later %n). The host
//   shows which fields were cut short when rerun with every "c" assigning; the
//   expected result is then one less (-1 instead of 0), and nothing after
//   that field may be stored.
// - End of input right after a sign (or inside a cut-short "c") is end of
//   input here, so with nothing assigned the result is -1 where the host
//   reports a matching failure, 0.
// - The host's long, intmax_t, size_t, ptrdiff_t, long double and pointers
//   are 64 or 80 bits wide, ours 32-bit ("l", "j", "z", "t", "p") or double
//   ("L"); those length classes and "p" are covered by scan_test instead.
// - A scanset left open to the end of the format is a format error for the
//   host; ranges in a scanset are host-only. Neither is generated.
// - Integers wrap modulo 2^32 here; the host saturates only beyond 64 bits,
//   and below that truncates to the same value. Every generated number ends
//   in white space and has at most 12 digits, where both agree.
// - The host also reads "inf", "nan" and hexadecimal floats; the inputs
//   contain none.
#include <cctype>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/console.h"
#include "runtime/scan.h"
#include "tests/host/quoted.h"
#include "tests/standins/fake_platform.h"

namespace {

const int Cases = 6000;
const int MaxFields = 4;
const int DestinationSize = 256; // more than any whole input: "s" and "[" may take it all
const unsigned char Fill = 0xA5; // never a generated input byte
const int64_t DoubleExponentUlps = 256;

struct Rng {
    uint64_t state;
    uint32_t Below(uint32_t bound) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return static_cast<uint32_t>(state >> 32) % bound;
    }
    bool OneIn(uint32_t n) {
        return Below(n) == 0;
    }
    char From(const char *pool) {
        return pool[Below(static_cast<uint32_t>(std::strlen(pool)))];
    }
};

struct Field {
    char conversion;
    bool assigned; // has a destination
    int width;     // 0: none
    bool longLong;
    bool isDouble;
};

struct Case {
    std::string format;
    std::string input;
    std::vector<Field> fields;
};

void AddDigits(Rng &rng, std::string &input, const char *alphabet, int most) {
    int count = 1 + static_cast<int>(rng.Below(static_cast<uint32_t>(most)));
    for (int i = 0; i < count; ++i)
        input += rng.From(alphabet);
}

void AddSign(Rng &rng, std::string &input) {
    if (rng.OneIn(4))
        input += '-';
    else if (rng.OneIn(8))
        input += '+';
}

void AddFloat(Rng &rng, std::string &input) {
    AddSign(rng, input);
    bool whole = !rng.OneIn(4);
    if (whole)
        AddDigits(rng, input, "0123456789", 7);
    if (!whole || rng.OneIn(2)) {
        input += '.';
        if (whole ? !rng.OneIn(3) : !rng.OneIn(20))
            AddDigits(rng, input, "0123456789", 6);
    }
    if (rng.OneIn(4)) {
        input += rng.From("eE");
        if (rng.OneIn(2))
            input += rng.From("+-");
        AddDigits(rng, input, "0123456789", 2);
    }
}

// One directive and the input meant for it.
Field AddField(Rng &rng, Case &c) {
    Field field = {rng.From("diuoxXcs[fn"), true, 0, false, false};
    std::string &format = c.format;
    std::string &input = c.input;
    format += '%';
    if (field.conversion != 'n' && rng.OneIn(5)) {
        format += '*';
        field.assigned = false;
    }
    if (field.conversion != 'n' && rng.OneIn(3)) {
        int most = field.conversion == 'c' ? 8 : field.conversion == 'f' ? 10 : 15;
        field.width = 1 + static_cast<int>(rng.Below(static_cast<uint32_t>(most)));
        format += std::to_string(field.width);
    }
    if (field.conversion == 'f') {
        field.isDouble = rng.OneIn(2);
        format += field.isDouble ? "l" : "";
    } else if (std::strchr("diuoxXn", field.conversion) != nullptr) {
        const char *lengths[] = {"", "", "hh", "h", "ll"};
        const char *length = lengths[rng.Below(5)];
        field.longLong = std::strcmp(length, "ll") == 0;
        format += length;
    }
    format += field.conversion;

    if (std::strchr("diuoxXsf", field.conversion) != nullptr && rng.OneIn(3)) {
        int blanks = 1 + static_cast<int>(rng.Below(2));
        for (int i = 0; i < blanks; ++i)
            input += rng.From(" \t\n");
    }
    switch (field.conversion) {
    case 'd':
    case 'i':
    case 'u':
        AddSign(rng, input);
        AddDigits(rng, input, "0123456789", 12);
        break;
    case 'o':
        AddSign(rng, input);
        AddDigits(rng, input, "01234567", 11);
        break;
    case 'x':
    case 'X':
        AddSign(rng, input);
        AddDigits(rng, input, "0123456789abcdefABCDEF", 10);
        break;
    case 'c':
        for (int i = 0; i < (field.width == 0 ? 1 : field.width); ++i)
            input += rng.From("abcYZ09; ");
        break;
    case 's':
        // No digits: what a width leaves of a word must not run on into the
        // next number (see the end of AddField).
        AddDigits(rng, input, "ghkmYZ;.-", 12);
        if (rng.OneIn(2))
            input += rng.From(" \t\n");
        break;
    case '[': {
        std::string members;
        if (rng.OneIn(6))
            members += ']';
        AddDigits(rng, members, "gkm;,:", 4);
        bool negated = rng.OneIn(4);
        format += (negated ? "^" : "") + members + "]";
        AddDigits(rng, input, negated ? "gkm;,:]YZ" : "gkm;,:]", 8);
        break;
    }
    case 'f':
        AddFloat(rng, input);
        break;
    default: // 'n' takes no input
        break;
    }
    // Numbers end in white space, so that the next field's digits cannot run
    // on into a value beyond 64 bits.
    if (std::strchr("diuoxXf", field.conversion) != nullptr)
        input += rng.From(" \t\n");
    return field;
}

Case Generate(Rng &rng) {
    Case c;
    int fields = 1 + static_cast<int>(rng.Below(MaxFields));
    for (int i = 0; i < fields; ++i) {
        if (rng.OneIn(5)) {
            char literal = rng.From(",;:/#");
            c.format += literal;
            c.input += literal;
        }
        if (rng.OneIn(10)) {
            c.format += "%%";
            c.input += '%';
        }
        if (rng.OneIn(3))
            c.format += ' ';
        c.fields.push_back(AddField(rng, c));
    }
    // Corrupt: cut the input short, or replace one byte (never by a digit,
    // which could join two numbers into one beyond 64 bits, nor by an 'x', nor
    // by an 'e', which would give a float an exponent: see the list above).
    if (!c.input.empty() && rng.OneIn(3))
        c.input.resize(rng.Below(static_cast<uint32_t>(c.input.size())));
    if (!c.input.empty() && rng.OneIn(3))
        c.input[rng.Below(static_cast<uint32_t>(c.input.size()))] = rng.From(" ;,:/#@!QZ+-.%");
    EXPECT_LT(c.input.size(), static_cast<size_t>(DestinationSize));
    return c;
}

void Feed(const std::string &input) {
    ResetFake();
    Fake().input = input;
    InitStandardStreams();
}

struct Destinations {
    alignas(8) unsigned char bytes[MaxFields][DestinationSize];
    void *slot[MaxFields]; // in argument order: one per assigned field
};

void Prepare(Destinations &d) {
    std::memset(d.bytes, Fill, sizeof d.bytes);
    for (int i = 0; i < MaxFields; ++i)
        d.slot[i] = d.bytes[i];
}

bool Untouched(const unsigned char *bytes, int size) {
    for (int i = 0; i < size; ++i)
        if (bytes[i] != Fill)
            return false;
    return true;
}

// Distance in units in the last place between two finite values of one sign.
int64_t UlpDistance(const unsigned char *a, const unsigned char *b, bool isDouble) {
    if (isDouble) {
        int64_t x, y;
        std::memcpy(&x, a, 8);
        std::memcpy(&y, b, 8);
        return x > y ? x - y : y - x;
    }
    int32_t x, y;
    std::memcpy(&x, a, 4);
    std::memcpy(&y, b, 4);
    return x > y ? int64_t(x) - y : int64_t(y) - x;
}

std::string Bytes(const unsigned char *bytes) {
    std::string text;
    char hex[4];
    for (int i = 0; i < 16; ++i) {
        std::snprintf(hex, sizeof hex, "%02X ", bytes[i]);
        text += hex;
    }
    return text;
}

// The format as the host must see it to mean the same (see the list above):
// "d" for "i", "%*1[%]" for "%%", and, for the probe, every "c" assigning.
std::string HostFormat(const std::string &format, bool assignChars) {
    std::string host;
    size_t at = 0;
    while (at < format.size()) {
        if (format.compare(at, 2, "%%") == 0) {
            host += "%*1[%]";
            at += 2;
            continue;
        }
        if (format[at] != '%') {
            host += format[at++];
            continue;
        }
        size_t end = at + 1;
        while (format[end] != '\0' && std::strchr("*0123456789hlL", format[end]) != nullptr)
            ++end;
        std::string directive = format.substr(at, end - at);
        char conversion = format[end++];
        if (assignChars && conversion == 'c' && directive[1] == '*')
            directive.erase(1, 1);
        host += directive + (conversion == 'i' ? 'd' : conversion);
        if (conversion == '[') { // copy the set: '^', a leading ']', members, ']'
            size_t close = end;
            if (format[close] == '^')
                ++close;
            close = format.find(']', close + 1);
            host += format.substr(end, close + 1 - end);
            end = close + 1;
        }
        at = end;
    }
    return host;
}

// For each field, whether it is a "c" field the end of input cut short.
std::vector<bool> ShortCharFields(const Case &c) {
    Destinations probe;
    Prepare(probe);
    std::sscanf(c.input.c_str(), HostFormat(c.format, true).c_str(), probe.slot[0], probe.slot[1],
                probe.slot[2], probe.slot[3]);
    std::vector<bool> cut;
    int slot = 0;
    for (const Field &field : c.fields) {
        bool assigning = field.assigned || field.conversion == 'c';
        int stored = 0;
        int width = field.width == 0 ? 1 : field.width;
        if (field.conversion == 'c')
            while (stored < width && probe.bytes[slot][stored] != Fill)
                ++stored;
        cut.push_back(stored > 0 && stored < width);
        slot += assigning;
    }
    return cut;
}

struct Tally {
    int assignments = 0;
    int lastBitDifferences = 0;
    int64_t worstDoubleUlps = 0;
};

// Compares one case; returns a description of the first difference, or "".
std::string Compare(const Case &c, Tally &tally) {
    Destinations host, ours;
    Prepare(host);
    Prepare(ours);
    int hostResult = std::sscanf(c.input.c_str(), HostFormat(c.format, false).c_str(), host.slot[0],
                                 host.slot[1], host.slot[2], host.slot[3]);
    Feed(c.input);
    int ourResult =
        ConsoleScan(c.format.c_str(), ours.slot[0], ours.slot[1], ours.slot[2], ours.slot[3]);
    tally.assignments += hostResult > 0 ? hostResult : 0;

    int expected = hostResult;
    bool exponent = c.input.find_first_of("eE") != std::string::npos;
    std::vector<bool> shortChars = ShortCharFields(c);
    bool cutShort = false; // a "c" field met end of input: the scan ended there
    int slot = 0;
    for (size_t i = 0; i < c.fields.size(); ++i) {
        const Field &field = c.fields[i];
        if (!field.assigned) {
            cutShort = cutShort || shortChars[i];
            continue;
        }
        const unsigned char *h = host.bytes[slot];
        const unsigned char *o = ours.bytes[slot];
        std::string where =
            "destination " + std::to_string(slot++) + ": host " + Bytes(h) + "ours " + Bytes(o);
        if (cutShort) {
            if (!Untouched(o, DestinationSize))
                return where + "(stored after the scan ended)";
            continue;
        }
        int from = 0;
        if (shortChars[i]) { // counted by the host only
            expected = expected > 1 ? expected - 1 : -1;
            cutShort = true;
        }
        if (field.longLong && !Untouched(h, 8)) {
            if (std::memcmp(h, o, 4) != 0 || o[4] != 0 || o[5] != 0 || o[6] != 0 || o[7] != 0)
                return where + "(64-bit store)";
            from = 8;
        }
        if (field.conversion == 'f' && !Untouched(h, 4) && !Untouched(o, 4)) {
            int64_t allowed =
                field.isDouble ? (exponent ? DoubleExponentUlps : 1) : (exponent ? 1 : 0);
            int64_t distance = UlpDistance(h, o, field.isDouble);
            if (distance > allowed)
                return where + "(" + std::to_string(distance) + " ulps apart)";
            tally.lastBitDifferences += distance != 0;
            if (field.isDouble && distance > tally.worstDoubleUlps)
                tally.worstDoubleUlps = distance;
            from = field.isDouble ? 8 : 4;
        }
        if (std::memcmp(h + from, o + from, DestinationSize - from) != 0)
            return where;
    }
    // End of input met inside a field (after a lone sign, or in a "c" field
    // cut short) is end of input here, a matching failure for the host.
    bool inputUsedUp = Fake().inputPosition == c.input.size() && StandardInput.pushback == -1;
    if (expected == 0 && ourResult == -1 && inputUsedUp)
        expected = -1;
    if (ourResult != expected)
        return "result: host " + std::to_string(hostResult) + " (expected here " +
               std::to_string(expected) + "), ours " + std::to_string(ourResult);
    for (DWORD size : Fake().readSizes)
        if (size != 1)
            return "read of " + std::to_string(size) + " bytes";
    return "";
}

TEST(ScanDifferential, AgreesWithHostScanf) {
    Rng rng = {0x5EED5CA11ED0F00Dull};
    Tally tally;
    int failures = 0;
    for (int i = 0; i < Cases && failures < 20; ++i) {
        Case c = Generate(rng);
        std::string difference = Compare(c, tally);
        if (!difference.empty()) {
            ++failures;
            ADD_FAILURE() << "case " << i << ": format " << Quoted(c.format) << " input "
                          << Quoted(c.input) << ": " << difference;
        }
    }
    // The generator must keep producing assignments, not just failures.
    EXPECT_GT(tally.assignments, Cases);
    RecordProperty("LastBitDifferences", tally.lastBitDifferences);
    RecordProperty("WorstDoubleUlps", static_cast<int>(tally.worstDoubleUlps));
    std::printf("assignments %d, last-bit differences %d, worst double %d ulps\n",
                tally.assignments, tally.lastBitDifferences,
                static_cast<int>(tally.worstDoubleUlps));
}

} // namespace
