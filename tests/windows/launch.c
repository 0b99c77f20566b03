/* Test launcher: every Windows program a test starts goes through it.
 *   launch APPLICATION HEX
 * HEX is the command line, two hex digits a byte, so that no layer between
 * the test and CreateProcessA can requote it. APPLICATION "-" lets
 * CreateProcessA find the program the command line names first.
 *
 * The program starts suspended in a job object that ends every process in it
 * when its last handle closes, and runs only once it is in the job, so
 * nothing it starts escapes. Only this launcher holds that handle: when it
 * ends, however it ends (a test's time limit kills it), the whole tree ends
 * with it, and so does anything the program left running.
 *
 * The child inherits the standard handles; the launcher exits with the
 * child's exit code and writes all 32 bits of it on standard error. */
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
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    memset(&limits, 0, sizeof limits);
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job != NULL &&
        !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits))
        return NULL;
    return job;
}

int main(int argc, char **argv) {
    if (argc != 3 || strlen(argv[2]) % 2 != 0 ||
        strspn(argv[2], "0123456789abcdefABCDEF") != strlen(argv[2])) {
        fprintf(stderr, "usage: launch APPLICATION HEX\n");
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
    if (job == NULL)
        return Failed("the job object", GetLastError());
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process;
    const char *application = strcmp(argv[1], "-") == 0 ? NULL : argv[1];
    if (!CreateProcessA(application, commandLine, NULL, NULL, TRUE, CREATE_SUSPENDED, NULL, NULL,
                        &startup, &process))
        return Failed("CreateProcessA", GetLastError());
    if (!AssignProcessToJobObject(job, process.hProcess)) {
        DWORD error = GetLastError();
        TerminateProcess(process.hProcess, 251);
        return Failed("AssignProcessToJobObject", error);
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
