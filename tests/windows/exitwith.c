/* Test helper: ends with a given exit code, as a shell sees it.
 *   exitwith CODE       ends with CODE (decimal, or hex with 0x), all 32 bits
 *   exitwith ctrl-c     takes a console of its own, raises Ctrl+C in it and
 *                       waits, so the default handler ends the process
 * Nothing is printed on success; a helper that cannot do what it is asked
 * says so on standard error and ends with 250. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: exitwith CODE | exitwith ctrl-c\n");
        return 250;
    }
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
