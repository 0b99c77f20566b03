/* A DOS-device namespace that stacks, standing in for Wine's, which keeps one
 * definition a name and refuses a second.
 *
 * Built as shlwapi.dll and put beside a copy of Zendrel.exe and the test
 * helpers; with WINEDLLOVERRIDES=shlwapi=n,b a program there loads it as its
 * SHLWAPI.dll (Zendrel.exe imports it; devdef loads it). On load it points the
 * program's own imports of QueryDosDeviceA and DefineDosDeviceA here, so the
 * program itself is unchanged. StrStrIA, what Zendrel.exe takes from
 * SHLWAPI.dll, goes on to the platform's own in kernelbase (see the .def).
 *
 * The definitions live in a volatile registry key, one REG_MULTI_SZ value a
 * name: its targets, the most recent first, in the form QueryDosDevice hands
 * out. Every process of the wineserver shares it and it ends with the server,
 * as the namespace does. A named mutex makes each change whole.
 *
 * It answers as Windows is documented and modelled to answer where the tests
 * depend on it, not as Wine does: docs/wine.md has the table. A query of a
 * name it does not hold goes to the platform (C: or NUL read the real ones),
 * and so does a removal with no target of a name the platform holds. Only the
 * flags the tests use are taken; any other is refused with
 * ERROR_INVALID_PARAMETER rather than half-done. */
#include <string.h>
#include <windows.h>

typedef DWORD(WINAPI *QueryFunction)(const char *, char *, DWORD);
typedef BOOL(WINAPI *DefineFunction)(DWORD, const char *, const char *);

static QueryFunction PlatformQuery;
static DefineFunction PlatformDefine;

static const char KeyPath[] = "Software\\ZendrelStackedNamespace";
static const char MutexName[] = "ZendrelStackedNamespace";
/* Room for any list the tests make; the platform's own lists are far shorter. */
enum { ListCapacity = 65536 };
static const DWORD TakenFlags = DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION |
                                DDD_EXACT_MATCH_ON_REMOVE | DDD_NO_BROADCAST_SYSTEM;

typedef struct {
    HANDLE mutex;
    HKEY key;
} Store;

static BOOL OpenStore(Store *store) {
    store->mutex = CreateMutexA(NULL, FALSE, MutexName);
    if (store->mutex == NULL)
        return FALSE;
    WaitForSingleObject(store->mutex, INFINITE);
    if (RegCreateKeyExA(HKEY_CURRENT_USER, KeyPath, 0, NULL, REG_OPTION_VOLATILE,
                        KEY_QUERY_VALUE | KEY_SET_VALUE, NULL, &store->key, NULL) == ERROR_SUCCESS)
        return TRUE;
    ReleaseMutex(store->mutex);
    CloseHandle(store->mutex);
    return FALSE;
}

static void CloseStore(Store *store) {
    RegCloseKey(store->key);
    ReleaseMutex(store->mutex);
    CloseHandle(store->mutex);
}

/* The name's list and its length in characters, both NULs at the end
 * counted; 0 when the store does not hold the name. */
static DWORD ReadList(Store *store, const char *name, char *list) {
    DWORD type = 0, size = ListCapacity;
    if (RegQueryValueExA(store->key, name, NULL, &type, (BYTE *)list, &size) != ERROR_SUCCESS ||
        type != REG_MULTI_SZ || size < 2)
        return 0;
    return size;
}

static DWORD WINAPI StackedQueryDosDeviceA(const char *name, char *buffer, DWORD capacity) {
    static char list[ListCapacity];
    Store store;
    if (name == NULL || !OpenStore(&store))
        return PlatformQuery(name, buffer, capacity);
    DWORD length = ReadList(&store, name, list);
    CloseStore(&store);
    if (length == 0)
        return PlatformQuery(name, buffer, capacity);
    if (length > capacity) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (length == capacity) {
        SetLastError(ERROR_MORE_DATA);
        return 0;
    }
    memcpy(buffer, list, length);
    return length;
}

static BOOL Refuse(DWORD error) {
    SetLastError(error);
    return FALSE;
}

/* The bytes of the list's targets, each with its NUL, up to the empty string
 * that ends them. */
static DWORD TargetsLength(const char *list) {
    const char *target = list;
    while (*target != '\0')
        target += strlen(target) + 1;
    return (DWORD)(target - list);
}

/* Where in the list the most recent definition that matches TARGET starts;
 * -1 when none does. */
static int Match(const char *list, const char *target, BOOL exact) {
    size_t length = strlen(target);
    for (const char *entry = list; *entry != '\0'; entry += strlen(entry) + 1)
        if (exact ? _stricmp(entry, target) == 0 : _strnicmp(entry, target, length) == 0)
            return (int)(entry - list);
    return -1;
}

static LONG WriteList(Store *store, const char *name, const char *list, DWORD length) {
    if (list[0] == '\0')
        return RegDeleteValueA(store->key, name);
    return RegSetValueExA(store->key, name, 0, REG_MULTI_SZ, (const BYTE *)list, length);
}

static BOOL WINAPI StackedDefineDosDeviceA(DWORD flags, const char *name, const char *target) {
    static char list[ListCapacity], full[ListCapacity];
    if ((flags & ~TakenFlags) != 0 || name == NULL || *name == '\0')
        return Refuse(ERROR_INVALID_PARAMETER);
    BOOL removal = (flags & DDD_REMOVE_DEFINITION) != 0;
    if (!removal && target == NULL)
        return Refuse(ERROR_INVALID_PARAMETER);
    if (target != NULL) {
        /* Without DDD_RAW_TARGET_PATH the target is a path, which the
         * namespace holds behind the \??\ prefix. */
        const char *prefix = (flags & DDD_RAW_TARGET_PATH) != 0 ? "" : "\\??\\";
        if (strlen(prefix) + strlen(target) + 1 > sizeof full)
            return Refuse(ERROR_FILENAME_EXCED_RANGE);
        strcpy(full, prefix);
        strcat(full, target);
    }
    Store store;
    if (!OpenStore(&store))
        return Refuse(ERROR_ACCESS_DENIED);
    DWORD length = ReadList(&store, name, list);
    LONG status = ERROR_SUCCESS;
    if (removal && length == 0) {
        CloseStore(&store);
        if (target != NULL)
            return Refuse(ERROR_FILE_NOT_FOUND);
        if (PlatformQuery(name, list, ListCapacity) != 0)
            return PlatformDefine(flags, name, target);
        return TRUE;
    }
    if (removal) {
        int at = target == NULL ? 0 : Match(list, full, (flags & DDD_EXACT_MATCH_ON_REMOVE) != 0);
        if (at < 0) {
            CloseStore(&store);
            return Refuse(ERROR_FILE_NOT_FOUND);
        }
        DWORD entry = (DWORD)strlen(list + at) + 1;
        memmove(list + at, list + at + entry, length - at - entry);
        status = WriteList(&store, name, list, length - entry);
    } else {
        DWORD added = (DWORD)strlen(full) + 1;
        DWORD kept = length == 0 ? 0 : TargetsLength(list);
        /* The closing NUL, and the extra one of a list pushed onto another. */
        DWORD closing = length == 0 ? 1 : 2;
        if (added + kept + closing > ListCapacity) {
            CloseStore(&store);
            return Refuse(ERROR_FILENAME_EXCED_RANGE);
        }
        memmove(list + added, list, kept);
        memcpy(list, full, added);
        memset(list + added + kept, '\0', closing);
        status = WriteList(&store, name, list, added + kept + closing);
    }
    CloseStore(&store);
    if (status != ERROR_SUCCESS)
        return Refuse((DWORD)status);
    return TRUE;
}

/* Points every import of the program that leads to FROM at TO. */
static void Redirect(HMODULE program, FARPROC from, FARPROC to) {
    BYTE *base = (BYTE *)program;
    IMAGE_NT_HEADERS *headers = (IMAGE_NT_HEADERS *)(base + ((IMAGE_DOS_HEADER *)base)->e_lfanew);
    IMAGE_DATA_DIRECTORY imports =
        headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress == 0)
        return;
    for (IMAGE_IMPORT_DESCRIPTOR *library =
             (IMAGE_IMPORT_DESCRIPTOR *)(base + imports.VirtualAddress);
         library->Name != 0; ++library) {
        for (IMAGE_THUNK_DATA *slot = (IMAGE_THUNK_DATA *)(base + library->FirstThunk);
             slot->u1.Function != 0; ++slot) {
            if ((FARPROC)slot->u1.Function != from)
                continue;
            DWORD old;
            if (VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &old)) {
                slot->u1.Function = (DWORD_PTR)to;
                VirtualProtect(slot, sizeof *slot, old, &old);
            }
        }
    }
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void *reserved) {
    (void)instance;
    (void)reserved;
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    PlatformQuery = (QueryFunction)(void (*)(void))GetProcAddress(kernel32, "QueryDosDeviceA");
    PlatformDefine = (DefineFunction)(void (*)(void))GetProcAddress(kernel32, "DefineDosDeviceA");
    if (PlatformQuery == NULL || PlatformDefine == NULL)
        return FALSE;
    HMODULE program = GetModuleHandleA(NULL);
    Redirect(program, (FARPROC)PlatformQuery, (FARPROC)StackedQueryDosDeviceA);
    Redirect(program, (FARPROC)PlatformDefine, (FARPROC)StackedDefineDosDeviceA);
    return TRUE;
}
