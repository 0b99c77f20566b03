/* The second floor for start-up timings: a console program with no runtime
 * that imports from the same three DLLs as Zendrel.exe and calls only
 * ExitProcess. Above this floor, what remains is Zendrel's own work. */
#include <windows.h>
#include <shlwapi.h>

/* Never set: the calls below only make the loader map USER32 and SHLWAPI
 * and bind their functions, as it does for Zendrel.exe. */
volatile int CallTheOthers = 0;

__attribute__((noreturn)) void ImportsEntry(void) {
    if (CallTheOthers) {
        char text[16];
        StrStrIA("", "");
        wvsprintfA(text, "", NULL);
    }
    ExitProcess(0);
}
