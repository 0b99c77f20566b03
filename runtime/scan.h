// Format-driven scanner over a console stream: one character of lookahead
// (the stream's pushback slot) and no buffering of its own.
#pragma once

#include <stdarg.h>

#include "runtime/console.h"

struct ScanSource {
    ConsoleStream *stream;
    int consumed; // characters taken and not given back since the scan began
};

// Destination width, chosen by a directive's length modifier.
enum ScanLength {
    ScanLengthDefault,    // none, "j", "z", "t": 32-bit integer, float
    ScanLengthChar,       // "hh": 8-bit integer, float
    ScanLengthShort,      // "h": 16-bit integer, float
    ScanLengthLong,       // "l": 32-bit integer, double
    ScanLengthLongLong,   // "ll", "I64": 64-bit integer, float
    ScanLengthLongDouble, // "L": 32-bit integer, double
};

int ConsoleScan(const char *format, ...);
int ScanFormatted(const char *format, ScanSource *source, va_list arguments);
// A directive's field width: the decimal digits at *format, clamped to the
// largest int; 0 when there are none. Leaves *format past the digits.
int ScanFieldWidth(const unsigned char **format);
int SourceGet(ScanSource *source);
void SourceUnget(ScanSource *source, int character);
bool IsScanSpace(int character);
int ScanInteger(ScanSource *source, int base, int width, ScanLength length, void *destination);
int ScanFloat(ScanSource *source, int width, ScanLength length, void *destination);
