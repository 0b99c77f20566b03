// Console streams over the standard handles: one-byte reads with a single
// pushback slot, unbuffered writes, and formatted printing to standard output.
#pragma once

#include "platform/win32.h"

struct ConsoleStream {
    HANDLE handle;
    int pushback; // -1 when empty, otherwise a byte 0..255 to be read again
};

extern ConsoleStream StandardInput;
extern ConsoleStream StandardOutput;
extern ConsoleStream StandardError;

// Room for one formatted message, terminating NUL included; the platform
// formatter never writes more.
enum { PrintBufferSize = 1024 };

int InitStandardStreams();
int StreamReadByte(ConsoleStream *stream);
int StreamUnreadByte(int value, ConsoleStream *stream);
int StreamWriteText(const char *text, ConsoleStream *stream);
int ConsolePrint(const char *format, ...);
