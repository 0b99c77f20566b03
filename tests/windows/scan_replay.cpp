// Replays scans through ConsoleScan and prints what each one stored, so that
// the host build and the 32-bit build of the scanner can be compared.
//
//   standard input:  one scan a line: FORMAT INPUT (both in hex)
//   standard output: one line a scan: RESULT FIRST SECOND REST
//
// FIRST and SECOND are the 8 bytes of the two destinations handed to every
// scan (0xA5 where nothing was stored), REST the bytes the scan left unread,
// all in hex. On Windows the input reaches the scanner through a file and the
// real ReadFile; on the host through the scripted standard input.
//
// The floating-point unit is set up by the start-up's own check, exactly as
// the program's entry does, so a wrong control word shows as wrong results.
#include <stdio.h>
#include <string.h>

#include <string>

#include "runtime/console.h"
#include "runtime/scan.h"
#include "runtime/startup.h"

#if !defined(_WIN32)
#include "tests/standins/fake_platform.h"
#endif

namespace {

const int DestinationBytes = 8;
const unsigned char Fill = 0xA5;

bool FromHex(const char *hex, size_t length, std::string *bytes) {
    if (length % 2 != 0)
        return false;
    bytes->clear();
    for (size_t i = 0; i < length; i += 2) {
        unsigned value = 0;
        if (sscanf(hex + i, "%2x", &value) != 1)
            return false;
        bytes->push_back(static_cast<char>(value));
    }
    return true;
}

void PrintHex(const unsigned char *bytes, size_t length) {
    putchar(' ');
    if (length == 0)
        putchar('-');
    for (size_t i = 0; i < length; ++i)
        printf("%02x", bytes[i]);
}

// Makes input what StandardInput delivers next, then end of input.
bool FeedStandardInput(const std::string &input) {
#if defined(_WIN32)
    // One scratch file, rewritten for every scan: reading a file byte by byte
    // is far quicker under Wine than reading a pipe.
    if (StandardInput.handle == nullptr) {
        char directory[MAX_PATH], path[MAX_PATH];
        if (GetTempPathA(MAX_PATH, directory) == 0 ||
            GetTempFileNameA(directory, "zsr", 0, path) == 0)
            return false;
        StandardInput.handle =
            CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                        FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (StandardInput.handle == INVALID_HANDLE_VALUE)
            return false;
    }
    HANDLE file = StandardInput.handle;
    DWORD written = 0;
    StandardInput.pushback = -1;
    return SetFilePointer(file, 0, nullptr, FILE_BEGIN) == 0 &&
           WriteFile(file, input.data(), static_cast<DWORD>(input.size()), &written, nullptr) &&
           written == input.size() && SetEndOfFile(file) &&
           SetFilePointer(file, 0, nullptr, FILE_BEGIN) == 0;
#else
    ResetFake();
    Fake().input = input;
    InitStandardStreams();
    return true;
#endif
}

bool Replay(const char *line) {
    const char *space = strchr(line, ' ');
    if (space == nullptr)
        return false;
    std::string format, input;
    if (!FromHex(line, static_cast<size_t>(space - line), &format) ||
        !FromHex(space + 1, strcspn(space + 1, "\r\n"), &input) || !FeedStandardInput(input))
        return false;

    unsigned char first[DestinationBytes], second[DestinationBytes];
    memset(first, Fill, sizeof first);
    memset(second, Fill, sizeof second);
    int result = ConsoleScan(format.c_str(), first, second);

    std::string rest;
    for (int c = StreamReadByte(&StandardInput); c != -1; c = StreamReadByte(&StandardInput))
        rest.push_back(static_cast<char>(c));
    printf("%d", result);
    PrintHex(first, sizeof first);
    PrintHex(second, sizeof second);
    PrintHex(reinterpret_cast<const unsigned char *>(rest.data()), rest.size());
    putchar('\n');
    return true;
}

} // namespace

int main() {
    if (CheckFloatingPointUnit() != 1) {
        fprintf(stderr, "scan_replay: no usable floating-point unit\n");
        return 2;
    }
    static char line[1 << 16];
    int number = 0;
    while (fgets(line, sizeof line, stdin) != nullptr) {
        ++number;
        if (!Replay(line)) {
            fprintf(stderr, "scan_replay: line %d is no FORMAT INPUT pair in hex\n", number);
            return 2;
        }
    }
    return fflush(stdout) == 0 ? 0 : 1;
}
