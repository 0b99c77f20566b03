/* Test helper: sets up and inspects the DOS-device namespace.
 *   devdef define NAME TARGET   add a definition (raw target path)
 *   devdef query ROOM NAME...   look each NAME up with room for ROOM characters
 *   devdef capacity NAME        print the least room the list is handed out in
 *   devdef remove NAME TARGET...
 *                               for each pair, remove that definition and no
 *                               other, by exact target, once just seen listed
 *   devdef platform-remove NAME drop the newest definition through
 *                               DefineDosDeviceA alone, with no target (a probe)
 *   devdef list                 every name, a line each: the name as UTF-16LE
 *                               in hex, a space, and its look-up's answer
 *   devdef token                print elevated=yes|no system=yes|no (LocalSystem)
 * A look-up's answer is one line: the target list as the call handed it out,
 * NULs and all, as UTF-16LE in hex, or "err N", the platform's error code,
 * whose meaning the reader decides. Any other refusal prints "err N" too, or
 * "status 0x..." for a native call. Exit 0 when done (every look-up answered,
 * whatever the answer), 1 when the platform refuses, 2 on bad usage, 3 when a
 * removal is not made because its target is not in the list (of several, the
 * first not made).
 *
 * A stand-in namespace in SHLWAPI.dll beside this program, if there is one,
 * is loaded first and takes the platform's place, as it does for Zendrel.exe
 * in the same folder; on Windows that load changes nothing. */
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

/* Characters, so that the list's length in UTF-16 bytes fits 16 bits. */
#define LIST_CHARS 32767
static char List[LIST_CHARS];
static WCHAR WideList[LIST_CHARS];

static int Refused(void) {
    printf("err %lu\n", GetLastError());
    return 1;
}

/* OBJECT_ATTRIBUTES for \??\NAME; the texts live in static buffers. */
static void LinkAttributes(const char *name, OBJECT_ATTRIBUTES *attributes, ULONG flags) {
    static WCHAR linkText[1024];
    static UNICODE_STRING link;
    swprintf(linkText, 1024, L"\\??\\%hs", name);
    RtlInitUnicodeString(&link, linkText);
    InitializeObjectAttributes(attributes, &link, OBJ_CASE_INSENSITIVE | flags, NULL, NULL);
}

static int ReportStatus(NTSTATUS status) {
    printf("status 0x%08lX\n", (unsigned long)status);
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
        return ReportStatus(status);
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
        return ReportStatus(status);
    status = makeTemporary(handle);
    CloseHandle(handle);
    return status == 0 ? 0 : ReportStatus(status);
}

static int Define(const char *name, const char *target) {
    if (WineRemoverOverruns(name))
        return DefineLink(name, target);
    if (!DefineDosDeviceA(DDD_RAW_TARGET_PATH | DDD_NO_BROADCAST_SYSTEM, name, target))
        return Refused();
    return 0;
}

static int PlatformRemove(const char *name) {
    if (!DefineDosDeviceA(DDD_REMOVE_DEFINITION | DDD_NO_BROADCAST_SYSTEM, name, NULL))
        return Refused();
    return 0;
}

static void PrintWideHex(const WCHAR *text, size_t length) {
    for (size_t i = 0; i < length * sizeof(WCHAR); ++i)
        printf("%02x", ((const unsigned char *)text)[i]);
}

/* NAME's list in WideList, as many characters as were handed out; 0 where
 * the call failed. The ANSI call, as Zendrel.exe makes it, converted after;
 * the wide one for a name of 260 characters or more (a long Global\ name),
 * which the ANSI calls refuse. */
static DWORD LookUp(const char *name, DWORD room) {
    static WCHAR wideName[1024];
    DWORD length = QueryDosDeviceA(name, List, room);
    if (length != 0)
        return MultiByteToWideChar(CP_ACP, 0, List, (int)length, WideList, LIST_CHARS);
    if (GetLastError() != ERROR_FILENAME_EXCED_RANGE ||
        MultiByteToWideChar(CP_ACP, 0, name, -1, wideName, 1024) == 0)
        return 0;
    return QueryDosDeviceW(wideName, WideList, room);
}

/* The answer, in its one form whichever call gave it. */
static void Answer(DWORD length) {
    if (length == 0) {
        Refused();
        return;
    }
    PrintWideHex(WideList, length);
    printf("\n");
}

static int Query(DWORD room, int count, char **names) {
    for (int i = 0; i < count; ++i)
        Answer(LookUp(names[i], room));
    return 0;
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
    if (QueryDosDeviceA(name, List, LIST_CHARS) == 0) {
        Refused();
        return 3;
    }
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
    if (!DefineDosDeviceA(flags, name, target))
        return Refused();
    return 0;
}

/* Counted up from one, so that no guess about terminators decides it. Only
 * the errors of a list that does not fit count as too little room (as the
 * tests' fits() takes them); any other failure is reported. */
static int Capacity(const char *name) {
    if (QueryDosDeviceA(name, List, LIST_CHARS) == 0)
        return Refused();
    DWORD capacity = 1;
    while (capacity < LIST_CHARS && QueryDosDeviceA(name, List, capacity) == 0) {
        DWORD error = GetLastError();
        if (error != ERROR_INSUFFICIENT_BUFFER && error != ERROR_MORE_DATA)
            return Refused();
        ++capacity;
    }
    printf("%lu\n", (unsigned long)capacity);
    return 0;
}

/* The wide calls: a long listing is handed out whole, with no code page
 * between the namespace and the test. */
static int ListAll(void) {
    static WCHAR names[1 << 19];
    /* A larger count only where the names do not fit a 16-bit length. */
    DWORD length = QueryDosDeviceW(NULL, names, LIST_CHARS);
    if (length == 0 && GetLastError() == ERROR_INSUFFICIENT_BUFFER)
        length = QueryDosDeviceW(NULL, names, sizeof names / sizeof names[0]);
    if (length == 0)
        return Refused();
    for (const WCHAR *name = names; *name != L'\0'; name += wcslen(name) + 1) {
        PrintWideHex(name, wcslen(name));
        printf(" ");
        Answer(QueryDosDeviceW(name, WideList, LIST_CHARS));
    }
    return 0;
}

/* LocalSystem's definitions are global: every session sees them. */
static int Token(void) {
    HANDLE token;
    TOKEN_ELEVATION elevation;
    static BYTE user[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
    BYTE system[SECURITY_MAX_SID_SIZE];
    DWORD size = 0, systemSize = sizeof system;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return Refused();
    BOOL known = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
                 GetTokenInformation(token, TokenUser, user, sizeof user, &size) &&
                 CreateWellKnownSid(WinLocalSystemSid, NULL, system, &systemSize);
    DWORD error = GetLastError();
    CloseHandle(token);
    SetLastError(error);
    if (!known)
        return Refused();
    printf("elevated=%s system=%s\n", elevation.TokenIsElevated ? "yes" : "no",
           EqualSid(((TOKEN_USER *)user)->User.Sid, system) ? "yes" : "no");
    return 0;
}

int main(int argc, char **argv) {
    LoadLibraryA("shlwapi.dll");
    const char *command = argc >= 2 ? argv[1] : "";
    if (argc == 4 && strcmp(command, "define") == 0)
        return Define(argv[2], argv[3]);
    if (argc >= 4 && strcmp(command, "query") == 0) {
        unsigned long room = strtoul(argv[2], NULL, 10);
        if (room <= LIST_CHARS)
            return Query(room, argc - 3, argv + 3);
    }
    if (argc == 3 && strcmp(command, "capacity") == 0)
        return Capacity(argv[2]);
    if (argc >= 4 && argc % 2 == 0 && strcmp(command, "remove") == 0) {
        int status = 0;
        for (int i = 2; i < argc; i += 2) {
            int removed = RemoveExact(argv[i], argv[i + 1]);
            status = status != 0 ? status : removed;
        }
        return status;
    }
    if (argc == 3 && strcmp(command, "platform-remove") == 0)
        return PlatformRemove(argv[2]);
    if (argc == 2 && strcmp(command, "token") == 0)
        return Token();
    if (argc == 2 && strcmp(command, "list") == 0)
        return ListAll();
    fprintf(stderr, "usage: devdef define NAME TARGET | query ROOM NAME... | capacity NAME"
                    " | remove NAME TARGET... | platform-remove NAME | list"
                    " | token\n");
    return 2;
}
