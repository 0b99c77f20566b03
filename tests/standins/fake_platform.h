// Scripted stand-ins for the operating-system calls, for the host build.
// Every call is recorded in Fake().calls so tests can assert which platform
// operations happened (and which did not).
#pragma once

#include <csetjmp>
#include <map>
#include <string>
#include <vector>

#include "platform/win32.h"

struct FakeWrite {
    HANDLE handle;
    std::string bytes;
};

enum FakeRemoval {
    RemoveTopDefinition, // pop the most recent definition (the platform's behaviour)
    RefuseRemoval,       // DefineDosDeviceA fails with removalError
    RemoveLeavingName,   // DefineDosDeviceA reports success but changes nothing
};

struct FakePlatform {
    // Device namespace: name -> targets, most recent first.
    std::map<std::string, std::vector<std::string>> devices;
    FakeRemoval removal = RemoveTopDefinition;
    DWORD removalError = 5;
    DWORD lastError = 0;

    // Standard handles. Input is served one byte per ReadFile; a read at
    // position readFailsAt (when >= 0) fails instead.
    HANDLE stdHandles[3]; // input, output, error
    std::string input;
    size_t inputPosition = 0;
    long readFailsAt = -1;
    std::vector<DWORD> readSizes;
    bool refuseWrites = false;
    bool shortWrites = false;
    std::vector<FakeWrite> writes;

    // Process start-up.
    const char *commandLine = "";
    bool noProcessHeap = false;
    bool failAllocation = false;
    std::vector<SIZE_T> allocations;
    int frees = 0;
    void *liveBlock = nullptr;
    std::jmp_buf *exitJump = nullptr; // ExitProcess longjmps here with code + 1
    UINT exitCode = 0;

    std::vector<std::string> calls;
};

// Fresh state: empty namespace, default handles, no input, no calls.
void ResetFake();
FakePlatform &Fake();

// Handles the stand-in GetStdHandle returns by default.
HANDLE FakeInputHandle();
HANDLE FakeOutputHandle();
HANDLE FakeErrorHandle();

// All bytes written to a handle, concatenated.
std::string WrittenTo(HANDLE handle);
// Only the recorded calls whose name matches.
size_t CallCount(const std::string &name);
