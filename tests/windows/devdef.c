/* Test helper: sets up and inspects the DOS-device namespace.
 *   devdef define NAME TARGET   add a definition (raw target path)
 *   devdef query NAME [CAPACITY]
 *                               print the target list, one target a line,
 *                               asked for with room for CAPACITY characters
 *   devdef capacity NAME        print the least room the list is handed out in
 *   devdef remove NAME TARGET   remove the definition of NAME as TARGET and no
 *                               other: an exact match on the target, made only
 *                               once TARGET has just been seen in NAME's list
 *   devdef platform-remove NAME drop the most recent definition through
 *                               DefineDosDeviceA alone, with no target, even
 *                               where Wine's would overrun its stack (a probe)
 *   devdef marked MARK NAME...  print "INDEX session" or "INDEX global" for each
 *                               NAME (counted from 1) whose list, in the
 *                               session or global, holds a target with MARK
 *   devdef elevated             print yes or no: is this process's token elevated
 *   devdef system               print yes or no: does it run as LocalSystem
 *   devdef device-maps          print per-session or shared: whether each logon
 *                               session has its own DOS-device names
 *   devdef list                 print every name and its target list, a line
 *                               each: the name, a space, the list (NULs
 *                               and all), both as UTF-16LE in hex
 * Exit 0 on success, 1 when the platform refuses (for a look-up: the name is
 * not defined, error 2 and no other), 2 on bad usage, 3 when a look-up fails
 * otherwise or a removal is not made because its target is not in the list.
 * Every count handed to the namespace's calls fits a 16-bit length in bytes,
 * as the platform keeps a target list's length.  *
 * A stand-in namespace in SHLWAPI.dll beside this program, if there is one,
 * is loaded first and takes the place of the platform's, as it does for
 * Zendrel.exe in the same folder. On Windows the system's own SHLWAPI.dll is
 * loaded, which changes nothing. */
#include <stdio.h>
#include <stdlib.h>
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
static int WinesOwnDefine(void) {
    if (NtFunction("wine_get_version") == NULL)
        return 0;
    FARPROC platform = GetProcAddress(GetModuleHandleA("kernel32.dll"), "DefineDosDeviceA");
    return (FARPROC)DefineDosDeviceA == platform;
}

static int WineRemoverOverruns(const char *name) {
    return strlen(name) > 2 && WinesOwnDefine();
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

/* Characters, so that the list's length in UTF-16 bytes fits 16 bits. */
#define LIST_CHARS 32767
static char List[LIST_CHARS];

/* Only error 2 means that nobody has defined the name; any other failure
 * leaves open whether it is in use. */
static int LookUp(const char *name, DWORD capacity) {
    if (QueryDosDeviceA(name, List, capacity) != 0)
        return 0;
    return GetLastError() == ERROR_FILE_NOT_FOUND ? 1 : 3;
}

static int LookUpReported(const char *name, DWORD capacity) {
    int found = LookUp(name, capacity);
    if (found != 0)
        printf("%s, err=%lu\n", found == 1 ? "not defined" : "look-up failed", GetLastError());
    return found;
}

/* Where TARGET stands in the list just looked up, the newest at 0; -1 if it
 * is not there. */
static int TargetPosition(const char *target) {
    int position = 0;
    for (const char *entry = List; *entry != '\0'; entry += strlen(entry) + 1, ++position)
        if (strcmp(entry, target) == 0)
            return position;
    return -1;
}

/* A removal by exact target that finds no match is refused with error 2 only
 * after the name's link has been made anew, so it is asked for only once the
 * target has just been seen in the list. Wine's removal ignores the target and
 * takes the newest definition: there the target must be the newest. */
static int RemoveExact(const char *name, const char *target) {
    int found = LookUpReported(name, LIST_CHARS);
    if (found != 0)
        return found == 1 ? 3 : found;
    int position = TargetPosition(target);
    if (position < 0 || (position > 0 && WinesOwnDefine())) {
        printf("not removed: the target is %s\n",
               position < 0 ? "not in the list" : "not the newest");
        return 3;
    }
    if (WineRemoverOverruns(name))
        return RemoveLink(name);
    const DWORD flags = DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE | DDD_RAW_TARGET_PATH |
                        DDD_NO_BROADCAST_SYSTEM;
    if (!DefineDosDeviceA(flags, name, target)) {
        printf("remove failed, err=%lu\n", GetLastError());
        return 1;
    }
    return 0;
}

static int Query(const char *name, DWORD capacity) {
    int found = LookUpReported(name, capacity);
    if (found != 0)
        return found;
    for (const char *target = List; *target != '\0'; target += strlen(target) + 1)
        printf("%s\n", target);
    return 0;
}

/* Counted up from one, so that no guess about terminators decides it. */
static int Capacity(const char *name) {
    int found = LookUpReported(name, LIST_CHARS);
    if (found != 0)
        return found;
    DWORD capacity = 1;
    while (capacity < LIST_CHARS && QueryDosDeviceA(name, List, capacity) == 0)
        ++capacity;
    printf("%lu\n", (unsigned long)capacity);
    return 0;
}

static int HoldsMarkWide(const char *name, const char *mark) {
    static WCHAR wideName[1024], wideMark[64], list[LIST_CHARS];
    if (MultiByteToWideChar(CP_ACP, 0, name, -1, wideName, 1024) == 0 ||
        MultiByteToWideChar(CP_ACP, 0, mark, -1, wideMark, 64) == 0)
        return 3;
    if (QueryDosDeviceW(wideName, list, LIST_CHARS) == 0)
        return GetLastError() == ERROR_FILE_NOT_FOUND ? 0 : 3;
    for (const WCHAR *target = list; *target != L'\0'; target += wcslen(target) + 1)
        if (wcsstr(target, wideMark) != NULL)
            return 1;
    return 0;
}

/* 1 if NAME's list holds a target with MARK, 0 if not or undefined, 3 if
 * that cannot be told. The ANSI call, as Zendrel.exe makes it (and as a
 * stand-in namespace takes it); the ANSI calls take no name of 260
 * characters or more, such as the Global\ form of a long name, which is
 * asked for through the wide call. */
static int HoldsMark(const char *name, const char *mark) {
    int found = LookUp(name, LIST_CHARS);
    if (found == 3 && GetLastError() == ERROR_FILENAME_EXCED_RANGE)
        return HoldsMarkWide(name, mark);
    if (found != 0)
        return found == 1 ? 0 : 3;
    for (const char *target = List; *target != '\0'; target += strlen(target) + 1)
        if (strstr(target, mark) != NULL)
            return 1;
    return 0;
}

static int Marked(const char *mark, int count, char **names) {
    static char global[1024];
    for (int i = 0; i < count; ++i) {
        if (snprintf(global, sizeof global, "Global\\%s", names[i]) >= (int)sizeof global) {
            printf("%d: a name too long for this helper\n", i + 1);
            return 3;
        }
        const char *forms[] = {names[i], global}, *where[] = {"session", "global"};
        for (int form = 0; form < 2; ++form) {
            int holds = HoldsMark(forms[form], mark);
            if (holds == 3) {
                printf("%d %s look-up failed, err=%lu\n", i + 1, where[form], GetLastError());
                return 3;
            }
            if (holds)
                printf("%d %s\n", i + 1, where[form]);
        }
    }
    return 0;
}

static void PrintHex(const char *bytes, size_t length) {
    for (size_t i = 0; i < length; ++i)
        printf("%02x", (unsigned char)bytes[i]);
}

static void PrintWideHex(const WCHAR *text, size_t length) {
    PrintHex((const char *)text, length * sizeof(WCHAR));
}

/* The wide calls: a long listing is handed out whole, with no code page
 * between the namespace and the test. */
static int ListAll(void) {
    static WCHAR names[1 << 19], list[LIST_CHARS];
    /* The names fit a 16-bit length on any ordinary machine; only where they
     * do not is a larger count tried, which then holds no name's length. */
    DWORD length = QueryDosDeviceW(NULL, names, LIST_CHARS);
    if (length == 0 && GetLastError() == ERROR_INSUFFICIENT_BUFFER)
        length = QueryDosDeviceW(NULL, names, sizeof names / sizeof names[0]);
    if (length == 0) {
        printf("no names, err=%lu\n", GetLastError());
        return 1;
    }
    for (const WCHAR *name = names; *name != L'\0'; name += wcslen(name) + 1) {
        /* A name that goes while it is listed is listed without targets. */
        DWORD size = QueryDosDeviceW(name, list, LIST_CHARS);
        PrintWideHex(name, wcslen(name));
        printf(" ");
        PrintWideHex(list, size);
        printf("\n");
    }
    return 0;
}

static int TokenAnswer(BOOL yes) {
    printf("%s\n", yes ? "yes" : "no");
    return 0;
}

/* LocalSystem's definitions are global: every session sees them. */
static int LocalSystem(void) {
    HANDLE token;
    static BYTE user[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
    BYTE system[SECURITY_MAX_SID_SIZE];
    DWORD size = 0, systemSize = sizeof system;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        printf("no token, err=%lu\n", GetLastError());
        return 1;
    }
    BOOL known = GetTokenInformation(token, TokenUser, user, sizeof user, &size) &&
                 CreateWellKnownSid(WinLocalSystemSid, NULL, system, &systemSize);
    DWORD error = GetLastError();
    CloseHandle(token);
    if (!known) {
        printf("no user, err=%lu\n", error);
        return 1;
    }
    return TokenAnswer(EqualSid(((TOKEN_USER *)user)->User.Sid, system));
}

/* Where per-session device maps are turned off, every definition is shared by
 * all sessions, as LocalSystem's are. */
static int DeviceMaps(void) {
    ULONG enabled = 0;
    NTSTATUS status = NtQueryInformationProcess(GetCurrentProcess(), ProcessLUIDDeviceMapsEnabled,
                                                &enabled, sizeof enabled, NULL);
    if (status != 0)
        return ReportStatus("device-maps", status);
    printf("%s\n", enabled ? "per-session" : "shared");
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
    return TokenAnswer(elevation.TokenIsElevated != 0);
}

int main(int argc, char **argv) {
    LoadLibraryA("shlwapi.dll");
    const char *command = argc >= 2 ? argv[1] : "";
    if (argc == 4 && strcmp(command, "define") == 0)
        return Define(argv[2], argv[3]);
    if (argc == 3 && strcmp(command, "query") == 0)
        return Query(argv[2], sizeof List);
    if (argc == 4 && strcmp(command, "query") == 0) {
        unsigned long capacity = strtoul(argv[3], NULL, 10);
        if (capacity <= LIST_CHARS)
            return Query(argv[2], capacity);
    }
    if (argc == 3 && strcmp(command, "capacity") == 0)
        return Capacity(argv[2]);
    if (argc == 4 && strcmp(command, "remove") == 0)
        return RemoveExact(argv[2], argv[3]);
    if (argc == 3 && strcmp(command, "platform-remove") == 0)
        return PlatformRemove(argv[2]);
    if (argc >= 4 && strcmp(command, "marked") == 0)
        return Marked(argv[2], argc - 3, argv + 3);
    if (argc == 2 && strcmp(command, "elevated") == 0)
        return Elevated();
    if (argc == 2 && strcmp(command, "system") == 0)
        return LocalSystem();
    if (argc == 2 && strcmp(command, "list") == 0)
        return ListAll();
    if (argc == 2 && strcmp(command, "device-maps") == 0)
        return DeviceMaps();
    fprintf(stderr, "usage: devdef define NAME TARGET | query NAME [CAPACITY] | capacity NAME"
                    " | remove NAME TARGET | platform-remove NAME | marked MARK NAME..."
                    " | elevated | system | device-maps | list\n");
    return 2;
}
