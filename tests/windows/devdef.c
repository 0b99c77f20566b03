/* Test helper: sets up and inspects the real DOS-device namespace.
 *   devdef define NAME TARGET   add a definition (raw target path)
 *   devdef query NAME           print the target list, one target a line
 *   devdef remove NAME          drop the most recent definition
 * Exit 0 on success, 1 when the platform refuses, 2 on bad usage. */
#include <stdio.h>
#include <string.h>
#include <windows.h>
#include <winternl.h>

typedef NTSTATUS(NTAPI *CreateLinkFunction)(HANDLE *, ACCESS_MASK, OBJECT_ATTRIBUTES *,
                                            UNICODE_STRING *);

/* Wine 8's DefineDosDevice copies the name into a buffer sized for two
 * characters and overruns its stack on anything longer. Longer names are
 * therefore made the way DefineDosDevice itself makes them: a permanent
 * symbolic link in the caller's DOS-device directory. */
static int DefineLongName(const char *name, const char *target) {
    static WCHAR linkText[1024], targetText[1024];
    swprintf(linkText, 1024, L"\\??\\%hs", name);
    swprintf(targetText, 1024, L"%hs", target);
    CreateLinkFunction createLink = (CreateLinkFunction)(void (*)(void))GetProcAddress(
        GetModuleHandleA("ntdll.dll"), "NtCreateSymbolicLinkObject");
    UNICODE_STRING link, destination;
    RtlInitUnicodeString(&link, linkText);
    RtlInitUnicodeString(&destination, targetText);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &link, OBJ_CASE_INSENSITIVE | OBJ_PERMANENT, NULL,
                               NULL);
    HANDLE handle = NULL;
    NTSTATUS status =
        createLink(&handle, 0xF0001 /* SYMBOLIC_LINK_ALL_ACCESS */, &attributes, &destination);
    if (status != 0) {
        printf("define failed, status=0x%08lX\n", (unsigned long)status);
        return 1;
    }
    CloseHandle(handle);
    return 0;
}

int main(int argc, char **argv) {
    if (argc == 4 && strcmp(argv[1], "define") == 0 && strlen(argv[2]) > 2)
        return DefineLongName(argv[2], argv[3]);
    if (argc == 4 && strcmp(argv[1], "define") == 0) {
        if (!DefineDosDeviceA(DDD_RAW_TARGET_PATH | DDD_NO_BROADCAST_SYSTEM, argv[2], argv[3])) {
            printf("define failed, err=%lu\n", GetLastError());
            return 1;
        }
        return 0;
    }
    if (argc == 3 && strcmp(argv[1], "query") == 0) {
        char list[4096];
        DWORD length = QueryDosDeviceA(argv[2], list, sizeof list);
        if (length == 0) {
            printf("not defined, err=%lu\n", GetLastError());
            return 1;
        }
        for (const char *target = list; *target != '\0'; target += strlen(target) + 1)
            printf("%s\n", target);
        return 0;
    }
    if (argc == 3 && strcmp(argv[1], "remove") == 0) {
        if (!DefineDosDeviceA(DDD_REMOVE_DEFINITION | DDD_NO_BROADCAST_SYSTEM, argv[2], NULL)) {
            printf("remove failed, err=%lu\n", GetLastError());
            return 1;
        }
        return 0;
    }
    fprintf(stderr, "usage: devdef define NAME TARGET | query NAME | remove NAME\n");
    return 2;
}
