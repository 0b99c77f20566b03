/* Test helper: prints a file's version record as the platform reads it.
 *   verinfo FILE   ->  NAME=VALUE lines, then FixedFileVersion=a.b.c.d */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

int main(int argc, char **argv) {
    if (argc != 2)
        return 2;
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(argv[1], &ignored);
    if (size == 0) {
        printf("no version record, err=%lu\n", GetLastError());
        return 1;
    }
    void *record = malloc(size);
    if (!GetFileVersionInfoA(argv[1], 0, size, record))
        return 1;
    static const char *const names[] = {"FileDescription",  "FileVersion", "InternalName",
                                        "OriginalFilename", "ProductName", "ProductVersion"};
    for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i) {
        char path[128];
        char *value = NULL;
        UINT length = 0;
        snprintf(path, sizeof path, "\\StringFileInfo\\040904B0\\%s", names[i]);
        if (VerQueryValueA(record, path, (void **)&value, &length) && length > 0)
            printf("%s=%s\n", names[i], value);
        else
            printf("%s missing\n", names[i]);
    }
    VS_FIXEDFILEINFO *fixed = NULL;
    UINT length = 0;
    if (VerQueryValueA(record, "\\", (void **)&fixed, &length) && fixed != NULL)
        printf("FixedFileVersion=%lu.%lu.%lu.%lu\nFixedProductVersion=%lu.%lu.%lu.%lu\n",
               fixed->dwFileVersionMS >> 16, fixed->dwFileVersionMS & 0xFFFF,
               fixed->dwFileVersionLS >> 16, fixed->dwFileVersionLS & 0xFFFF,
               fixed->dwProductVersionMS >> 16, fixed->dwProductVersionMS & 0xFFFF,
               fixed->dwProductVersionLS >> 16, fixed->dwProductVersionLS & 0xFFFF);
    return 0;
}
