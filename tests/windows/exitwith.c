/* Test helper: ends with a given exit code, as a shell sees it.
 *   exitwith CODE         ends with CODE (decimal, or hex with 0x), all 32 bits
 *   exitwith ctrl-c       raises Ctrl+C in a console of its own and waits, so
 *                         the default handler ends the process
 *   exitwith hang         prints "pid N", starts a copy of itself that does the
 *                         same, and never ends: what a time limit must stop
 *   exitwith running PID  prints "running" and ends with 0 if process PID still
 *                         runs after 5 s, or "ended" and ends with 1
 * What it cannot do, it says on standard error, and ends with 250. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

static int Hang(int startCopy) {
    printf("pid %lu\n", GetCurrentProcessId());
    fflush(stdout);
    if (startCopy) {
        static char path[MAX_PATH], line[MAX_PATH + 16];
        DWORD length = GetModuleFileNameA(NULL, path, sizeof path);
        if (length == 0 || length >= sizeof path) {
            fprintf(stderr, "exitwith: no path of its own, err=%lu\n", GetLastError());
            return 250;
        }
        snprintf(line, sizeof line, "\"%s\" hang-copy", path);
        STARTUPINFOA startup = {.cb = sizeof startup};
        PROCESS_INFORMATION copy;
        /* It inherits the standard handles, so it holds the caller's pipes too. */
        if (!CreateProcessA(path, line, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &copy)) {
            fprintf(stderr, "exitwith: CreateProcessA failed, err=%lu\n", GetLastError());
            return 250;
        }
    }
    for (;;)
        Sleep(INFINITE);
}

static int Running(const char *text) {
    char *end;
    unsigned long pid = strtoul(text, &end, 10);
    if (*end != '\0' || end == text) {
        fprintf(stderr, "exitwith: not a process id: %s\n", text);
        return 250;
    }
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (process == NULL) {
        if (GetLastError() != ERROR_INVALID_PARAMETER) {
            fprintf(stderr, "exitwith: OpenProcess failed, err=%lu\n", GetLastError());
            return 250;
        }
        printf("ended\n");
        return 1;
    }
    /* An ended tree's processes may take a moment to go. */
    int running = WaitForSingleObject(process, 5000) == WAIT_TIMEOUT;
    CloseHandle(process);
    printf("%s\n", running ? "running" : "ended");
    return running ? 0 : 1;
}

int main(int argc, char **argv) {
    if (argc == 3 && strcmp(argv[1], "running") == 0)
        return Running(argv[2]);
    if (argc != 2) {
        fprintf(stderr, "usage: exitwith CODE | ctrl-c | hang | running PID\n");
        return 250;
    }
    if (strcmp(argv[1], "hang") == 0 || strcmp(argv[1], "hang-copy") == 0)
        return Hang(strcmp(argv[1], "hang") == 0);
    if (strcmp(argv[1], "ctrl-c") == 0) {
        /* A console of its own: the event reaches only this process, not the
         * shell or the test that started it. */
        FreeConsole();
        if (!AllocConsole()) {
            fprintf(stderr, "exitwith: AllocConsole failed, err=%lu\n", GetLastError());
            return 250;
        }
        /* A parent may have passed on the flag that ignores Ctrl+C. */
        SetConsoleCtrlHandler(NULL, FALSE);
        if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) {
            fprintf(stderr, "exitwith: GenerateConsoleCtrlEvent failed, err=%lu\n", GetLastError());
            return 250;
        }
        Sleep(30000);
        fprintf(stderr, "exitwith: no Ctrl+C arrived\n");
        return 250;
    }
    char *end;
    errno = 0;
    unsigned long code = strtoul(argv[1], &end, 0);
    if (errno != 0 || *end != '\0' || end == argv[1] || argv[1][0] == '-') {
        fprintf(stderr, "exitwith: not an exit code: %s\n", argv[1]);
        return 250;
    }
    ExitProcess((UINT)code);
}
