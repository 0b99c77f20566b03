// The only door to the operating system. On Windows these are the real
// declarations; elsewhere the same names and types are declared here and the
// definitions come from whatever the program is linked with (the tests link
// stand-ins).
#pragma once

#if defined(_WIN32)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <shlwapi.h>

#else

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#define WINAPI

typedef int BOOL;
typedef uint32_t DWORD;
typedef unsigned int UINT;
typedef size_t SIZE_T;
typedef void *HANDLE;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef char *LPSTR;
typedef const char *LPCSTR;
typedef DWORD *LPDWORD;
typedef struct _OVERLAPPED OVERLAPPED, *LPOVERLAPPED;

#define STD_INPUT_HANDLE ((DWORD)-10)
#define STD_OUTPUT_HANDLE ((DWORD)-11)
#define STD_ERROR_HANDLE ((DWORD)-12)
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)

#define DDD_RAW_TARGET_PATH 0x00000001
#define DDD_REMOVE_DEFINITION 0x00000002
#define DDD_EXACT_MATCH_ON_REMOVE 0x00000004
#define DDD_NO_BROADCAST_SYSTEM 0x00000008

extern "C" {
DWORD WINAPI QueryDosDeviceA(LPCSTR lpDeviceName, LPSTR lpTargetPath, DWORD ucchMax);
BOOL WINAPI DefineDosDeviceA(DWORD dwFlags, LPCSTR lpDeviceName, LPCSTR lpTargetPath);
DWORD WINAPI GetLastError(void);
LPSTR WINAPI StrStrIA(LPCSTR lpFirst, LPCSTR lpSrch);
int WINAPI wvsprintfA(LPSTR buffer, LPCSTR format, va_list arglist);
HANDLE WINAPI GetStdHandle(DWORD nStdHandle);
BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
LPSTR WINAPI GetCommandLineA(void);
[[noreturn]] void WINAPI ExitProcess(UINT uExitCode);
HANDLE WINAPI GetProcessHeap(void);
LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes);
BOOL WINAPI HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem);
}

#endif
