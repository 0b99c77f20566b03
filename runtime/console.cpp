#include "runtime/console.h"

ConsoleStream StandardInput;
ConsoleStream StandardOutput;
ConsoleStream StandardError;

int InitStandardStreams() {
    // Handles are stored as the platform gives them; a missing one simply
    // makes every later read or write on it fail.
    StandardInput.handle = GetStdHandle(STD_INPUT_HANDLE);
    StandardInput.pushback = -1;
    StandardOutput.handle = GetStdHandle(STD_OUTPUT_HANDLE);
    StandardOutput.pushback = -1;
    StandardError.handle = GetStdHandle(STD_ERROR_HANDLE);
    StandardError.pushback = -1;
    return 0;
}

int StreamReadByte(ConsoleStream *stream) {
    if (stream->pushback != -1) {
        int value = stream->pushback & 0xFF;
        stream->pushback = -1;
        return value;
    }
    // Exactly one byte per read, so nothing beyond what is used leaves the
    // handle: the rest of the input stays for whoever reads it next.
    unsigned char byte = 0;
    DWORD got = 0;
    if (!ReadFile(stream->handle, &byte, 1, &got, nullptr) || got != 1)
        return -1;
    return byte;
}

int StreamUnreadByte(int value, ConsoleStream *stream) {
    if (value == -1 || stream->pushback != -1)
        return -1;
    stream->pushback = value;
    return value;
}

int StreamWriteText(const char *text, ConsoleStream *stream) {
    DWORD length = 0;
    while (text[length] != '\0')
        ++length;
    DWORD written = 0;
    if (!WriteFile(stream->handle, text, length, &written, nullptr) || written != length)
        return -1;
    return static_cast<int>(length);
}

int ConsolePrint(const char *format, ...) {
    char buffer[PrintBufferSize];
    buffer[0] = '\0';
    va_list arguments;
    va_start(arguments, format);
    wvsprintfA(buffer, format, arguments);
    va_end(arguments);
    return StreamWriteText(buffer, &StandardOutput);
}
