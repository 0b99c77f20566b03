/* Test launcher: starts a program with an exact raw command line.
 *   launch APPLICATION HEX
 * HEX is the command line, two hex digits a byte, so that no layer between
 * the test and CreateProcessA can requote it. The child inherits the standard
 * handles; the launcher exits with the child's exit code. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

static int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

int main(int argc, char **argv) {
    if (argc != 3 || strlen(argv[2]) % 2 != 0) {
        fprintf(stderr, "usage: launch APPLICATION HEX\n");
        return 250;
    }
    size_t length = strlen(argv[2]) / 2;
    char *commandLine = malloc(length + 1);
    for (size_t i = 0; i < length; ++i) {
        int high = HexValue(argv[2][2 * i]), low = HexValue(argv[2][2 * i + 1]);
        if (high < 0 || low < 0 || (high | low) == 0) {
            fprintf(stderr, "launch: bad hex\n");
            return 250;
        }
        commandLine[i] = (char)(high * 16 + low);
    }
    commandLine[length] = '\0';

    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process;
    if (!CreateProcessA(argv[1], commandLine, NULL, NULL, TRUE, 0, NULL, NULL, &startup,
                        &process)) {
        fprintf(stderr, "launch: CreateProcessA failed, err=%lu\n", GetLastError());
        return 251;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 252;
    GetExitCodeProcess(process.hProcess, &code);
    /* The full 32-bit code, for the start-up failures that do not fit a byte. */
    fprintf(stderr, "launch: exit code 0x%08lX\n", code);
    return (int)code;
}
