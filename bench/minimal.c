/* The floor for start-up timings: a console program with no runtime that
 * imports one function from KERNEL32 and calls it. Linked the way Zendrel.exe
 * is, so the difference between the two is Zendrel's own cost. */
#include <windows.h>

__attribute__((noreturn)) void MinimalEntry(void) {
    ExitProcess(0);
}
