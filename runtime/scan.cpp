#include "runtime/scan.h"

#include <stdint.h>

namespace {

// What FieldGet reports once a field's width is used up. Nothing was read,
// so there is nothing to give back.
const int FieldFull = -2;

// Returned by DigitValue for bytes that are no digit in any base.
const int NotDigit = 255;

// A field width is held in an int; larger widths are clamped to this.
const int WidthLimit = 2147483647;

// Exponent digits stop accumulating above this; 10 to such a power already
// saturates a double to inf or 0, and the exponent stays far from overflow.
const int ExponentLimit = 100000;

const double LargestDouble = 1.7976931348623157e308;

// Fraction digits are folded in while the scale stays finite: past 308 digits
// fraction and scale would both overflow into inf / inf.
const double LargestScale = LargestDouble / 10.0;

// Takes the next character of a field; a width of -1 means no limit. A full
// field reads nothing, so no input beyond the field leaves the stream.
int FieldGet(ScanSource *source, int *width) {
    if (*width == 0)
        return FieldFull;
    if (*width > 0)
        --*width;
    return SourceGet(source);
}

void FieldUnget(ScanSource *source, int character) {
    if (character != FieldFull)
        SourceUnget(source, character);
}

bool IsDecimalDigit(int character) {
    return character >= '0' && character <= '9';
}

// 0..15 for the digits of base 16 in either case; letters past 'F' and the
// punctuation between the ranges land at 16 or more, so any base rejects them.
int DigitValue(int character) {
    if (character >= 'a')
        character -= 0x20;
    if (character >= 'A')
        return character - 55;
    return IsDecimalDigit(character) ? character - '0' : NotDigit;
}

void StoreInteger(void *destination, ScanLength length, uint32_t value) {
    switch (length) {
    case ScanLengthChar:
        *static_cast<uint8_t *>(destination) = static_cast<uint8_t>(value);
        break;
    case ScanLengthShort:
        *static_cast<uint16_t *>(destination) = static_cast<uint16_t>(value);
        break;
    case ScanLengthLongLong:
        // The value is 32 bits wide: the high half is zero, not its sign.
        *static_cast<uint64_t *>(destination) = value;
        break;
    default:
        *static_cast<uint32_t *>(destination) = value;
        break;
    }
}

void SkipSpace(ScanSource *source) {
    int character;
    do
        character = SourceGet(source);
    while (IsScanSpace(character));
    SourceUnget(source, character);
}

// Looks at the next character without taking it: true at end of input.
bool AtEnd(ScanSource *source) {
    int next = SourceGet(source);
    SourceUnget(source, next);
    return next == -1;
}

// The scan's result when the input ends: what was assigned, or -1 if nothing.
int EndResult(int count) {
    return count > 0 ? count : -1;
}

int ScanCharacters(ScanSource *source, int width, char *destination) {
    if (width < 0)
        width = 1;
    for (; width > 0; --width) {
        int character = SourceGet(source);
        if (character == -1) {
            SourceUnget(source, character);
            return -1;
        }
        if (destination != nullptr)
            *destination++ = static_cast<char>(character);
    }
    return 1;
}

int ScanString(ScanSource *source, int width, char *destination) {
    for (;;) {
        int character = FieldGet(source, &width);
        if (character < 0 || IsScanSpace(character)) {
            FieldUnget(source, character);
            break;
        }
        if (destination != nullptr)
            *destination++ = static_cast<char>(character);
    }
    if (destination != nullptr)
        *destination = '\0';
    return 1;
}

bool IsMember(const unsigned char *members, const unsigned char *end, int character) {
    for (; members != end; ++members)
        if (*members == character)
            return true;
    return false;
}

// *format points just past the "[". Members run to the next ']', where a ']'
// in first place (after any '^') is a member and '-' is just a byte; a set
// left open runs to the end of the format. *format is left past the set.
int ScanSet(ScanSource *source, const unsigned char **format, int width, char *destination) {
    const unsigned char *members = *format;
    bool negated = *members == '^';
    if (negated)
        ++members;
    const unsigned char *end = members;
    if (*end == ']')
        ++end;
    while (*end != '\0' && *end != ']')
        ++end;
    *format = *end == ']' ? end + 1 : end;

    bool matched = false;
    for (;;) {
        int character = FieldGet(source, &width);
        if (character < 0 || IsMember(members, end, character) == negated) {
            FieldUnget(source, character);
            break;
        }
        matched = true;
        if (destination != nullptr)
            *destination++ = static_cast<char>(character);
    }
    if (!matched)
        return 0;
    if (destination != nullptr)
        *destination = '\0';
    return 1;
}

// Takes a number's optional sign and the character after it. End of input
// there is given back, so the caller only returns -1.
int NumberStart(ScanSource *source, int *width, bool *minus) {
    int character = FieldGet(source, width);
    if (character == '+' || character == '-') {
        *minus = character == '-';
        character = FieldGet(source, width);
    }
    if (character == -1)
        SourceUnget(source, character);
    return character;
}

// The conversion letters the scanner knows: integers, floating numbers, then
// characters, strings, scansets and the count. Any other ends the scan.
const char ConversionLetters[] = "diuoxXp"
                                 "aAeEfFgG"
                                 "cs[n";

bool IsConversion(int character) {
    for (const char *letter = ConversionLetters; *letter != '\0'; ++letter)
        if (*letter == character)
            return true;
    return false;
}

} // namespace

int SourceGet(ScanSource *source) {
    // Counted in unsigned arithmetic: an endless input wraps, it cannot overflow.
    source->consumed = static_cast<int>(static_cast<uint32_t>(source->consumed) + 1u);
    return StreamReadByte(source->stream);
}

void SourceUnget(ScanSource *source, int character) {
    // Counted back even when the stream refuses (end of input), matching the
    // get that returned it.
    source->consumed = static_cast<int>(static_cast<uint32_t>(source->consumed) - 1u);
    StreamUnreadByte(character, source->stream);
}

bool IsScanSpace(int character) {
    return character == ' ' || (character >= 0x09 && character <= 0x0D);
}

int ScanInteger(ScanSource *source, int base, int width, ScanLength length, void *destination) {
    bool minus = false;
    int character = NumberStart(source, &width, &minus);
    if (character == -1)
        return -1;
    // Wraps modulo 2^32 on overflow, as the destinations are at most 32 bits
    // of value.
    uint32_t value = 0;
    bool anyDigit = false;
    for (;;) {
        int digit = character < 0 ? NotDigit : DigitValue(character);
        if (digit >= base)
            break;
        value = value * static_cast<uint32_t>(base) + static_cast<uint32_t>(digit);
        anyDigit = true;
        character = FieldGet(source, &width);
    }
    FieldUnget(source, character);
    if (!anyDigit)
        return 0;
    if (minus)
        value = 0u - value;
    if (destination != nullptr)
        StoreInteger(destination, length, value);
    return 1;
}

// Every step of the arithmetic is assigned to a double. The 32-bit build
// compiles this file with -ffloat-store, so each step goes through memory and
// is rounded to the range of a double there too, not kept in the x87 unit's
// wider registers.
int ScanFloat(ScanSource *source, int width, ScanLength length, void *destination) {
    double value = 0.0;
    bool anyDigit = false;
    bool minus = false;
    int character = NumberStart(source, &width, &minus);
    if (character == -1)
        return -1;
    for (; IsDecimalDigit(character); character = FieldGet(source, &width)) {
        value = value * 10.0 + (character - '0');
        anyDigit = true;
    }
    if (character == '.') {
        double fraction = 0.0;
        double scale = 1.0;
        for (character = FieldGet(source, &width); IsDecimalDigit(character);
             character = FieldGet(source, &width)) {
            if (scale <= LargestScale) {
                fraction = fraction * 10.0 + (character - '0');
                scale *= 10.0;
            }
            anyDigit = true;
        }
        value += fraction / scale;
    }
    if (character == 'e' || character == 'E') {
        // Negative exponents multiply by powers of 0.1 rather than divide.
        double power = 10.0;
        character = FieldGet(source, &width);
        if (character == '+') {
            character = FieldGet(source, &width);
        } else if (character == '-') {
            power = 0.1;
            character = FieldGet(source, &width);
        }
        int exponent = 0;
        for (; IsDecimalDigit(character); character = FieldGet(source, &width))
            if (exponent < ExponentLimit)
                exponent = exponent * 10 + (character - '0');
        // Zero and infinity keep their value: scaling them by a power that
        // has overflowed or underflowed would make a NaN.
        if (value == 0.0 || value > LargestDouble)
            exponent = 0;
        for (; exponent != 0; exponent >>= 1, power *= power)
            if (exponent & 1)
                value *= power;
    }
    FieldUnget(source, character);
    if (!anyDigit)
        return 0;
    if (minus)
        value = -value;
    if (destination != nullptr) {
        if (length == ScanLengthLong || length == ScanLengthLongDouble)
            *static_cast<double *>(destination) = value;
        else
            *static_cast<float *>(destination) = static_cast<float>(value);
    }
    return 1;
}

int ScanFieldWidth(const unsigned char **format) {
    int width = 0;
    for (; IsDecimalDigit(**format); ++*format)
        if (__builtin_mul_overflow(width, 10, &width) ||
            __builtin_add_overflow(width, **format - '0', &width))
            width = WidthLimit;
    return width;
}

int ScanFormatted(const char *format, ScanSource *source, va_list arguments) {
    int count = 0;
    const unsigned char *at = reinterpret_cast<const unsigned char *>(format);
    while (*at != '\0') {
        if (IsScanSpace(*at)) {
            while (IsScanSpace(*at))
                ++at;
            SkipSpace(source);
            continue;
        }
        if (*at != '%' || at[1] == '%') {
            // A literal byte, or "%%" standing for one '%'.
            int character = SourceGet(source);
            if (character != *at) {
                SourceUnget(source, character);
                return character == -1 ? EndResult(count) : count;
            }
            at += *at == '%' ? 2 : 1;
            continue;
        }

        ++at;
        bool suppressed = *at == '*';
        if (suppressed)
            ++at;

        int width = ScanFieldWidth(&at);
        if (width == 0)
            width = -1;

        ScanLength length = ScanLengthDefault;
        switch (*at) {
        case 'h':
            length = ScanLengthShort;
            ++at;
            if (*at == 'h') {
                length = ScanLengthChar;
                ++at;
            }
            break;
        case 'l':
            length = ScanLengthLong;
            ++at;
            if (*at == 'l') {
                length = ScanLengthLongLong;
                ++at;
            }
            break;
        case 'I':
            // An "I" not followed by "64" is no modifier.
            if (at[1] == '6' && at[2] == '4') {
                length = ScanLengthLongLong;
                at += 3;
            }
            break;
        case 'L':
            length = ScanLengthLongDouble;
            ++at;
            break;
        case 'j':
        case 'z':
        case 't':
            ++at;
            break;
        }

        // Input checks, for every conversion but the count, and for unknown
        // ones too: white space first (not for characters and scansets), then
        // the end of input.
        int conversion = *at;
        if (conversion != 'n') {
            if (conversion != '[' && conversion != 'c')
                SkipSpace(source);
            if (AtEnd(source))
                return EndResult(count);
        }
        // An unknown conversion, or a format that ended inside the directive,
        // stops the scan. The caller passed no argument for it, so none is taken.
        if (!IsConversion(conversion))
            return count;
        ++at;
        void *destination = suppressed ? nullptr : va_arg(arguments, void *);

        if (conversion == 'n') {
            if (destination != nullptr)
                StoreInteger(destination, length, static_cast<uint32_t>(source->consumed));
            continue;
        }

        char *text = static_cast<char *>(destination);
        int result;
        switch (conversion) {
        case 'd':
        case 'i':
        case 'u':
            result = ScanInteger(source, 10, width, length, destination);
            break;
        case 'o':
            result = ScanInteger(source, 8, width, length, destination);
            break;
        case 'x':
        case 'X':
            result = ScanInteger(source, 16, width, length, destination);
            break;
        case 'p':
            result = ScanInteger(source, 16, 8, ScanLengthDefault, destination);
            break;
        case 'c':
            result = ScanCharacters(source, width, text);
            break;
        case 's':
            result = ScanString(source, width, text);
            break;
        case '[':
            result = ScanSet(source, &at, width, text);
            break;
        default: // a, A, e, E, f, F, g, G
            result = ScanFloat(source, width, length, destination);
            break;
        }

        if (result < 0)
            return EndResult(count);
        if (result == 0)
            return count;
        if (destination != nullptr)
            ++count;
    }
    return count;
}

int ConsoleScan(const char *format, ...) {
    ScanSource source;
    source.stream = &StandardInput;
    source.consumed = 0;
    va_list arguments;
    va_start(arguments, format);
    int result = ScanFormatted(format, &source, arguments);
    va_end(arguments);
    return result;
}
