/* Test helper: sets up and inspects the DOS-device namespace.
 *   devdef define NAME TARGET   add a definition (raw target path)
 *   devdef query NAME           print the target list, one target a line
 *   devdef remove NAME          drop the most recent definition
 *   devdef platform-remove NAME drop it through DefineDosDeviceA alone, even
 *                               where Wine's would overrun its stack (a probe)
 *   devdef elevated             print yes or no: is this process's token elevated
 *   devdef list                 print every name and its target list, a line
 *                               each: the name, a space, the list (NULs
 *                               and all), both in hex
 * Exit 0 on success, 1 when the platform refuses, 2 on bad usage.
 *
 * A stand-in namespace in SHLWAPI.dll beside this program, if there is one,
 * is loaded first and takes the place of the platform's, as it does for
 * Zendrel.exe in the same folder. On Windows the system's own SHLWAPI.dll is
 * loaded, which changes nothing. */
#include <stdio.h>
#include <string.h>
#include <windows.h>
#include <winternl.h>

typedef NTSTATUS(NTAPI *CreateLinkFunction)(HANDLE *, ACCESS_MASK, OBJECT_ATTRIBUTES *,
                                            UNICODE_STRING *);
typedef NTSTATUS(NTAPI *OpenLinkFunction)(HANDLE *, ACCESS_MASK, OBJECT_ATTRIBUTES *);
typedef NTSTATUS(NTAPI *MakeTemporaryFunction)(HANDLE);

static FARPROC NtFunction(const char *name) {
    return GetProcAddress(GetModuleHandleA("ntdll.dll"), name);
}

/* Wine 8's DefineDosDevice copies the name behind "\DosDevices\" into a
 * buffer with room for two characters and overruns its stack on anything
 * longer (seven characters crash it). Where that function is the one this
 * program calls, longer names are made and removed the way it makes them: a
 * permanent symbolic link in the caller's DOS-device directory. On Windows,
 * and where a stand-in has taken its place, DefineDosDeviceA does it all. */
static int WineRemoverOverruns(const char *name) {
    if (strlen(name) <= 2 || NtFunction("wine_get_version") == NULL)
        return 0;
    FARPROC platform = GetProcAddress(GetModuleHandleA("kernel32.dll"), "DefineDosDeviceA");
    return (FARPROC)DefineDosDeviceA == platform;
}

/* OBJECT_ATTRIBUTES for \??\NAME; the texts live in static buffers. */
static void LinkAttributes(const char *name, OBJECT_ATTRIBUTES *attributes, ULONG flags) {
    static WCHAR linkText[1024];
    static UNICODE_STRING link;
    swprintf(linkText, 1024, L"\\??\\%hs", name);
    RtlInitUnicodeString(&link, linkText);
    InitializeObjectAttributes(attributes, &link, OBJ_CASE_INSENSITIVE | flags, NULL, NULL);
}

static int ReportStatus(const char *what, NTSTATUS status) {
    printf("%s failed, status=0x%08lX\n", what, (unsigned long)status);
    return 1;
}

static int DefineLink(const char *name, const char *target) {
    static WCHAR targetText[1024];
    if (strlen(name) > 512 || strlen(target) >= 1024) {
        printf("define failed: a name or target too long for this helper\n");
        return 1;
    }
    swprintf(targetText, 1024, L"%hs", target);
    UNICODE_STRING destination;
    RtlInitUnicodeString(&destination, targetText);
    OBJECT_ATTRIBUTES attributes;
    LinkAttributes(name, &attributes, OBJ_PERMANENT);
    CreateLinkFunction createLink =
        (CreateLinkFunction)(void (*)(void))NtFunction("NtCreateSymbolicLinkObject");
    HANDLE handle = NULL;
    NTSTATUS status =
        createLink(&handle, 0xF0001 /* SYMBOLIC_LINK_ALL_ACCESS */, &attributes, &destination);
    if (status != 0)
        return ReportStatus("define", status);
    CloseHandle(handle);
    return 0;
}

/* A permanent link goes once it is made temporary and its last handle closes. */
static int RemoveLink(const char *name) {
    if (strlen(name) > 512) {
        printf("remove failed: a name too long for this helper\n");
        return 1;
    }
    OBJECT_ATTRIBUTES attributes;
    LinkAttributes(name, &attributes, 0);
    OpenLinkFunction openLink =
        (OpenLinkFunction)(void (*)(void))NtFunction("NtOpenSymbolicLinkObject");
    MakeTemporaryFunction makeTemporary =
        (MakeTemporaryFunction)(void (*)(void))NtFunction("NtMakeTemporaryObject");
    HANDLE handle = NULL;
    NTSTATUS status = openLink(&handle, DELETE, &attributes);
    if (status != 0)
        return ReportStatus("remove", status);
    status = makeTemporary(handle);
    CloseHandle(handle);
    return status == 0 ? 0 : ReportStatus("remove", status);
}

static int Define(const char *name, const char *target) {
    if (WineRemoverOverruns(name))
        return DefineLink(name, target);
    if (!DefineDosDeviceA(DDD_RAW_TARGET_PATH | DDD_NO_BROADCAST_SYSTEM, name, target)) {
        printf("define failed, err=%lu\n", GetLastError());
        return 1;
    }
    return 0;
}

static int PlatformRemove(const char *name) {
    if (!DefineDosDeviceA(DDD_REMOVE_DEFINITION | DDD_NO_BROADCAST_SYSTEM, name, NULL)) {
        printf("remove failed, err=%lu\n", GetLastError());
        return 1;
    }
    return 0;
}

static int Query(const char *name) {
    static char list[65536];
    DWORD length = QueryDosDeviceA(name, list, sizeof list);
    if (length == 0) {
        printf("not defined, err=%lu\n", GetLastError());
        return 1;
    }
    for (const char *target = list; *target != '\0'; target += strlen(target) + 1)
        printf("%s\n", target);
    return 0;
}

static void PrintHex(const char *bytes, size_t length) {
    for (size_t i = 0; i < length; ++i)
        printf("%02x", (unsigned char)bytes[i]);
}

static int List(void) {
    static char names[1 << 20], list[65536];
    DWORD length = QueryDosDeviceA(NULL, names, sizeof names);
    if (length == 0) {
        printf("no names, err=%lu\n", GetLastError());
        return 1;
    }
    for (const char *name = names; *name != '\0'; name += strlen(name) + 1) {
        /* A name that goes while it is listed is listed without targets. */
        DWORD size = QueryDosDeviceA(name, list, sizeof list);
        PrintHex(name, strlen(name));
        printf(" ");
        PrintHex(list, size);
        printf("\n");
    }
    return 0;
}

static int Elevated(void) {
    HANDLE token;
    TOKEN_ELEVATION elevation;
    DWORD size = 0;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        printf("no token, err=%lu\n", GetLastError());
        return 1;
    }
    BOOL known = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
    DWORD error = GetLastError();
    CloseHandle(token);
    if (!known) {
        printf("no elevation, err=%lu\n", error);
        return 1;
    }
    printf("%s\n", elevation.TokenIsElevated ? "yes" : "no");
    return 0;
}

int main(int argc, char **argv) {
    LoadLibraryA("shlwapi.dll");
    const char *command = argc >= 2 ? argv[1] : "";
    if (argc == 4 && strcmp(command, "define") == 0)
        return Define(argv[2], argv[3]);
    if (argc == 3 && strcmp(command, "query") == 0)
        return Query(argv[2]);
    if (argc == 3 && strcmp(command, "remove") == 0)
        return WineRemoverOverruns(argv[2]) ? RemoveLink(argv[2]) : PlatformRemove(argv[2]);
    if (argc == 3 && strcmp(command, "platform-remove") == 0)
        return PlatformRemove(argv[2]);
    if (argc == 2 && strcmp(command, "elevated") == 0)
        return Elevated();
    if (argc == 2 && strcmp(command, "list") == 0)
        return List();
    fprintf(stderr, "usage: devdef define NAME TARGET | query NAME | remove NAME"
                    " | platform-remove NAME | elevated | list\n");
    return 2;
}
