// Scans arbitrary input with formats from a fixed family (first byte below
// 0xC0) or with a format taken from the data itself, up to its first NUL
// (first byte 0xC0 and above). Formats from the data are made safe first: each
// assigning "s" and "[" gets a width of at most 15 and each "c" at most 16,
// so every store fits the 16-byte destinations. Checks: the result lies in
// -1..assigning directives; no byte outside a destination changes (guard
// bytes around each, and AddressSanitizer around the exact heap blocks);
// every platform read is one byte; and what the scan counts as taken is what
// left the platform minus a byte waiting in the pushback slot, which is also
// what a final %n stores.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "runtime/console.h"
#include "runtime/scan.h"
#include "tests/standins/fake_platform.h"

namespace {

const int Slots = 8;      // destinations handed to every scan
const int GuardBytes = 8; // before and after each destination
const int RoomBytes = 16; // each destination
const int BlockBytes = GuardBytes + RoomBytes + GuardBytes;
const unsigned char Guard = 0xA5;
const size_t FormatLimit = 96; // bytes of a format taken from the data

void Require(bool condition) {
    if (!condition)
        __builtin_trap();
}

const char *const Family[] = {
    // integers: widths, suppression, every length class
    "%d",
    "%5d",
    "%*d",
    "%1d",
    "%hhd",
    "%hd",
    "%ld",
    "%lld",
    "%I64d",
    "%jd",
    "%zd",
    "%td",
    "%Ld",
    "%i",
    "%3i",
    "%*hhi",
    "%u",
    "%llu",
    "%o",
    "%2o",
    "%ho",
    "%x",
    "%X",
    "%4x",
    "%I64X",
    "%hhx",
    "%p",
    "%3p",
    "%*p",
    "%llp",
    // characters and strings, each within its destination
    "%c",
    "%3c",
    "%16c",
    "%*c",
    "%*99999999999999999999c",
    "%15s",
    "%1s",
    "%*s",
    "%15[abc]",
    "%15[^,]",
    "%15[]a-]",
    "%15[^]]",
    "%15[abc",
    "%15[^",
    "%15[",
    "%*[^\n]",
    // floats
    "%f",
    "%lf",
    "%Lf",
    "%hf",
    "%llf",
    "%e",
    "%E",
    "%5g",
    "%G",
    "%a",
    "%A",
    "%F",
    "%3lf",
    "%*f",
    "%1f",
    // counts
    "%n",
    "%hhn",
    "%hn",
    "%lln",
    "%I64n",
    "%*n",
    // sequences, most ending in a count
    "%d%n",
    "%d %d%n",
    " %c%n",
    "%2d,%3d%n",
    "%%%d%n",
    "x%dy%n",
    "%15s%n%c",
    "%*d %15[^\n]%n",
    "%f%n%lf%n",
    "%3c%lln",
    "%*s %15s %n",
    "%hhd%hhd%hhd%n",
    "%lf%%%n",
    "%5x%5o%5d%n",
    "%e %*e %n",
    "% d",
    "%I6d",
    "%q%n",
    "%",
    "%5",
    "%5ll",
    "%d%",
    "%15[a]%15[b]%n",
};
const int FamilySize = static_cast<int>(sizeof Family / sizeof Family[0]);

struct Directives {
    int assigning = 0;        // directives that take a destination
    bool endsInCount = false; // the last directive is an assigning 32-bit "%n"
};

// Copies a format directive by directive, reading it exactly as the scanner
// does, and gives every assigning "s", "[" and "c" a width that fits its
// destination. Stops before a ninth assigning directive.
std::string MakeSafe(const std::string &raw, Directives &found) {
    std::string safe;
    size_t at = 0;
    const char *format = raw.c_str(); // NUL-terminated: lookahead stops there
    while (format[at] != '\0') {
        found.endsInCount = false;
        if (format[at] != '%') {
            safe += format[at++];
            continue;
        }
        if (format[at + 1] == '%') {
            safe += "%%";
            at += 2;
            continue;
        }
        size_t start = at++;
        bool suppressed = format[at] == '*';
        at += suppressed;
        size_t widthStart = at;
        while (format[at] >= '0' && format[at] <= '9')
            ++at;
        std::string width = raw.substr(widthStart, at - widthStart);
        size_t lengthStart = at;
        if (format[at] == 'h' || format[at] == 'l')
            at += format[at + 1] == format[at] ? 2 : 1;
        else if (format[at] == 'I' && format[at + 1] == '6' && format[at + 2] == '4')
            at += 3;
        else if (format[at] != '\0' && strchr("jztL", format[at]) != nullptr)
            ++at;
        std::string length = raw.substr(lengthStart, at - lengthStart);
        char conversion = format[at];
        // An unknown conversion, or none, ends the scan without an argument.
        if (conversion == '\0' || strchr("diuoxXpaAeEfFgGcs[n", conversion) == nullptr) {
            safe += raw.substr(start);
            break;
        }
        if (!suppressed && found.assigning == Slots)
            break;

        if (!suppressed && strchr("sc[", conversion) != nullptr) {
            unsigned long asked = 0;
            for (char digit : width)
                asked = asked < 1000 ? asked * 10 + (digit - '0') : asked;
            unsigned long most = conversion == 'c' ? RoomBytes : RoomBytes - 1;
            if (asked > most || (asked == 0 && conversion != 'c')) // "c" alone takes 1
                width = std::to_string(most);
        }
        safe += raw.substr(start, widthStart - start) + width + length + conversion;
        ++at;
        if (!suppressed) {
            ++found.assigning;
            found.endsInCount = conversion == 'n' && length.empty();
        }
        if (conversion == '[') { // the set as the scanner reads it
            size_t setStart = at;
            if (format[at] == '^')
                ++at;
            if (format[at] == ']')
                ++at;
            while (format[at] != '\0' && format[at] != ']')
                ++at;
            if (format[at] == ']')
                ++at;
            safe += raw.substr(setStart, at - setStart);
        }
    }
    return safe;
}

int Scan(const char *format, ScanSource *source, ...) {
    va_list arguments;
    va_start(arguments, source);
    int result = ScanFormatted(format, source, arguments);
    va_end(arguments);
    return result;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    std::string rawFormat;
    std::string input;
    long failAt = -1;
    if (data[0] < 0xC0) {
        rawFormat = Family[data[0] % FamilySize];
        size_t from = 1;
        // An optional second byte 0xFn makes the read at position n fail.
        if (size > 1 && (data[1] & 0xF0) == 0xF0) {
            failAt = data[1] & 0x0F;
            from = 2;
        }
        input.assign(reinterpret_cast<const char *>(data) + from, size - from);
    } else {
        const char *text = reinterpret_cast<const char *>(data) + 1;
        size_t length = strnlen(text, size - 1);
        rawFormat.assign(text, length < FormatLimit ? length : FormatLimit);
        if (length + 1 < size - 1)
            input.assign(text + length + 1, size - 1 - (length + 1));
    }
    Directives found;
    std::string format = MakeSafe(rawFormat, found);

    ResetFake();
    Fake().input = input;
    Fake().readFailsAt = failAt;
    InitStandardStreams();

    unsigned char *blocks[Slots];
    void *destinations[Slots];
    for (int i = 0; i < Slots; ++i) {
        blocks[i] = static_cast<unsigned char *>(malloc(BlockBytes));
        memset(blocks[i], Guard, BlockBytes);
        destinations[i] = blocks[i] + GuardBytes;
    }
    ScanSource source;
    source.stream = &StandardInput;
    source.consumed = 0;
    int result =
        Scan(format.c_str(), &source, destinations[0], destinations[1], destinations[2],
             destinations[3], destinations[4], destinations[5], destinations[6], destinations[7]);

    Require(result >= -1 && result <= found.assigning);
    for (int i = 0; i < Slots; ++i) {
        for (int b = 0; b < BlockBytes; ++b)
            if (b < GuardBytes || b >= GuardBytes + RoomBytes || i >= found.assigning)
                Require(blocks[i][b] == Guard);
    }
    for (DWORD readSize : Fake().readSizes)
        Require(readSize == 1);
    // Everything that left the platform was either taken or waits in the
    // pushback slot; nothing was read ahead.
    int waiting = StandardInput.pushback != -1 ? 1 : 0;
    Require(source.consumed == static_cast<int>(Fake().inputPosition) - waiting);
    if (found.endsInCount) {
        int stored;
        memcpy(&stored, blocks[found.assigning - 1] + GuardBytes, sizeof stored);
        uint32_t untouched = 0xA5A5A5A5u;
        Require(stored == source.consumed || static_cast<uint32_t>(stored) == untouched);
    }
    for (int i = 0; i < Slots; ++i)
        free(blocks[i]);
    return 0;
}
