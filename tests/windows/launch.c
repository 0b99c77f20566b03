/* Test launcher: every Windows program a test starts goes through it.
 *   launch APPLICATION HEX
 * HEX is the command line, two hex digits a byte, so that no layer between
 * the test and CreateProcessA can requote it. APPLICATION "-" lets
 * CreateProcessA find the program the command line names first. The child
 * inherits the standard handles; the launcher exits with its exit code and
 * writes all 32 bits of it on standard error.
 *
 * The program starts suspended and runs only once it is in a job that ends
 * every process in it when its one handle, the launcher's, closes: however
 * the launcher ends (a test's time limit kills it), the whole tree ends too.
 * Where it cannot be put in a job (a job around the launcher may refuse
 * one), it runs outside one, the launcher first writing "launch: no job,
 * err=N; pid P" on standard error, and a watchdog, "launch watch
 * LAUNCHER-PID PID", ends the program alone when the launcher ends. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

/* ERROR is taken where the call failed, before any clean-up call resets it. */
static int Failed(const char *what, DWORD error) {
    fprintf(stderr, "launch: %s failed, err=%lu\n", what, error);
    return 251;
}

/* A job whose processes all end when its last handle is closed. */
static HANDLE NewJob(void) {
    HANDLE job = CreateJobObjectA(NULL, NULL);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {
        .BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE};
    if (job != NULL &&
        !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits))
        return NULL;
    return job;
}

/* Ends process PID once process LAUNCHER has ended (or is gone). */
static int Watch(const char *launcher, const char *pid) {
    HANDLE watched[2] = {
        OpenProcess(SYNCHRONIZE, FALSE, strtoul(launcher, NULL, 10)),
        OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, strtoul(pid, NULL, 10))};
    if (watched[1] != NULL &&
        (watched[0] == NULL || WaitForMultipleObjects(2, watched, FALSE, INFINITE) == 0))
        TerminateProcess(watched[1], 1);
    return 0;
}

/* It holds none of the launcher's handles, so no pipe of the test's waits for it. */
static BOOL StartWatchdog(DWORD pid) {
    static char path[MAX_PATH], line[MAX_PATH + 64];
    STARTUPINFOA startup = {.cb = sizeof startup, .dwFlags = STARTF_USESTDHANDLES};
    PROCESS_INFORMATION watchdog;
    DWORD length = GetModuleFileNameA(NULL, path, sizeof path);
    snprintf(line, sizeof line, "\"%s\" watch %lu %lu", path, GetCurrentProcessId(), pid);
    return length != 0 && length < sizeof path &&
           CreateProcessA(path, line, NULL, NULL, FALSE, DETACHED_PROCESS, NULL, NULL, &startup,
                          &watchdog);
}

int main(int argc, char **argv) {
    if (argc == 4 && strcmp(argv[1], "watch") == 0)
        return Watch(argv[2], argv[3]);
    if (argc != 3 || strlen(argv[2]) % 2 != 0 ||
        strspn(argv[2], "0123456789abcdefABCDEF") != strlen(argv[2])) {
        fprintf(stderr, "usage: launch APPLICATION HEX | watch LAUNCHER-PID PID\n");
        return 250;
    }
    size_t length = strlen(argv[2]) / 2;
    char *commandLine = malloc(length + 1);
    for (size_t i = 0; i < length; ++i) {
        unsigned byte = 0;
        if (sscanf(argv[2] + 2 * i, "%2x", &byte) != 1 || byte == 0) {
            fprintf(stderr, "launch: a NUL cannot be in a command line\n");
            return 250;
        }
        commandLine[i] = (char)byte;
    }
    commandLine[length] = '\0';

    HANDLE job = NewJob();
    DWORD jobError = GetLastError();
    STARTUPINFOA startup = {.cb = sizeof startup,
                            .dwFlags = STARTF_USESTDHANDLES,
                            .hStdInput = GetStdHandle(STD_INPUT_HANDLE),
                            .hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE),
                            .hStdError = GetStdHandle(STD_ERROR_HANDLE)};
    PROCESS_INFORMATION process;
    const char *application = strcmp(argv[1], "-") == 0 ? NULL : argv[1];
    if (!CreateProcessA(application, commandLine, NULL, NULL, TRUE, CREATE_SUSPENDED, NULL, NULL,
                        &startup, &process))
        return Failed("CreateProcessA", GetLastError());
    if (job == NULL || !AssignProcessToJobObject(job, process.hProcess)) {
        jobError = job == NULL ? jobError : GetLastError();
        fprintf(stderr, "launch: no job, err=%lu; pid %lu\n", jobError, process.dwProcessId);
        fflush(stderr);
        if (!StartWatchdog(process.dwProcessId)) {
            DWORD error = GetLastError();
            TerminateProcess(process.hProcess, 251);
            return Failed("the watchdog", error);
        }
    }
    if (ResumeThread(process.hThread) == (DWORD)-1) {
        DWORD error = GetLastError();
        TerminateProcess(process.hProcess, 251);
        return Failed("ResumeThread", error);
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 252;
    GetExitCodeProcess(process.hProcess, &code);
    fprintf(stderr, "launch: exit code 0x%08lX\n", code);
    return (int)code;
}
