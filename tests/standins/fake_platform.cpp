#include "tests/standins/fake_platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace {
FakePlatform *state = nullptr;
char handleTokens[3];
int heapToken;
const size_t FormatterLimit = 1024;
} // namespace

HANDLE FakeInputHandle() {
    return &handleTokens[0];
}
HANDLE FakeOutputHandle() {
    return &handleTokens[1];
}
HANDLE FakeErrorHandle() {
    return &handleTokens[2];
}

void ResetFake() {
    if (state != nullptr)
        std::free(state->liveBlock);
    delete state;
    state = new FakePlatform;
    state->stdHandles[0] = FakeInputHandle();
    state->stdHandles[1] = FakeOutputHandle();
    state->stdHandles[2] = FakeErrorHandle();
}

FakePlatform &Fake() {
    if (state == nullptr)
        ResetFake();
    return *state;
}

std::string WrittenTo(HANDLE handle) {
    std::string all;
    for (const FakeWrite &write : Fake().writes)
        if (write.handle == handle)
            all += write.bytes;
    return all;
}

size_t CallCount(const std::string &name) {
    size_t count = 0;
    for (const std::string &call : Fake().calls)
        if (call.compare(0, name.size(), name) == 0 &&
            (call.size() == name.size() || call[name.size()] == ' '))
            ++count;
    return count;
}

extern "C" {

DWORD WINAPI QueryDosDeviceA(LPCSTR name, LPSTR buffer, DWORD capacity) {
    Fake().calls.push_back(std::string("QueryDosDeviceA ") + name);
    auto found = Fake().devices.find(name);
    if (found == Fake().devices.end() || found->second.empty()) {
        Fake().lastError = 2; // ERROR_FILE_NOT_FOUND
        return 0;
    }
    std::string list;
    for (const std::string &target : found->second) {
        list += target;
        list += '\0';
    }
    list += '\0';
    if (list.size() > capacity) {
        Fake().lastError = 122; // ERROR_INSUFFICIENT_BUFFER
        return 0;
    }
    std::memcpy(buffer, list.data(), list.size());
    return static_cast<DWORD>(list.size());
}

BOOL WINAPI DefineDosDeviceA(DWORD flags, LPCSTR name, LPCSTR target) {
    char line[64];
    std::snprintf(line, sizeof line, "DefineDosDeviceA 0x%02X ", static_cast<unsigned>(flags));
    Fake().calls.push_back(line + std::string(name) + (target ? std::string(" ") + target : ""));
    if (!(flags & DDD_REMOVE_DEFINITION)) {
        Fake().devices[name].insert(Fake().devices[name].begin(), target ? target : "");
        return 1;
    }
    if (Fake().removal == RefuseRemoval) {
        Fake().lastError = Fake().removalError;
        return 0;
    }
    auto found = Fake().devices.find(name);
    if (found == Fake().devices.end() || found->second.empty()) {
        Fake().lastError = 2;
        return 0;
    }
    if (Fake().removal == RemoveTopDefinition)
        found->second.erase(found->second.begin());
    return 1;
}

DWORD WINAPI GetLastError(void) {
    Fake().calls.push_back("GetLastError");
    return Fake().lastError;
}

LPSTR WINAPI StrStrIA(LPCSTR text, LPCSTR wanted) {
    Fake().calls.push_back(std::string("StrStrIA ") + text);
    size_t length = std::strlen(wanted);
    for (const char *at = text;; ++at) {
        if (strncasecmp(at, wanted, length) == 0)
            return const_cast<LPSTR>(at);
        if (*at == '\0')
            return nullptr;
    }
}

int WINAPI wvsprintfA(LPSTR buffer, LPCSTR format, va_list arguments) {
    Fake().calls.push_back("wvsprintfA");
    // The platform formatter writes at most 1024 bytes, NUL included, and
    // cuts anything longer.
    int full = std::vsnprintf(buffer, FormatterLimit, format, arguments);
    if (full < 0)
        return 0;
    return full < static_cast<int>(FormatterLimit) ? full : static_cast<int>(FormatterLimit - 1);
}

HANDLE WINAPI GetStdHandle(DWORD which) {
    Fake().calls.push_back("GetStdHandle " + std::to_string(static_cast<int>(which)));
    if (which == STD_INPUT_HANDLE)
        return Fake().stdHandles[0];
    if (which == STD_OUTPUT_HANDLE)
        return Fake().stdHandles[1];
    if (which == STD_ERROR_HANDLE)
        return Fake().stdHandles[2];
    return INVALID_HANDLE_VALUE;
}

BOOL WINAPI ReadFile(HANDLE handle, LPVOID buffer, DWORD size, LPDWORD got, LPOVERLAPPED) {
    FakePlatform &fake = Fake();
    fake.calls.push_back("ReadFile");
    fake.readSizes.push_back(size);
    *got = 0;
    if (handle != FakeInputHandle() || size == 0)
        return 0;
    if (fake.readFailsAt >= 0 && fake.inputPosition == static_cast<size_t>(fake.readFailsAt))
        return 0;
    if (fake.inputPosition >= fake.input.size())
        return 1; // end of input: success with nothing delivered
    static_cast<char *>(buffer)[0] = fake.input[fake.inputPosition++];
    *got = 1;
    return 1;
}

BOOL WINAPI WriteFile(HANDLE handle, LPCVOID bytes, DWORD size, LPDWORD written, LPOVERLAPPED) {
    FakePlatform &fake = Fake();
    fake.calls.push_back("WriteFile");
    *written = 0;
    if (handle != FakeOutputHandle() && handle != FakeErrorHandle())
        return 0;
    if (fake.refuseWrites)
        return 0;
    DWORD accepted = fake.shortWrites && size > 0 ? size - 1 : size;
    fake.writes.push_back({handle, std::string(static_cast<const char *>(bytes), accepted)});
    *written = accepted;
    return 1;
}

LPSTR WINAPI GetCommandLineA(void) {
    Fake().calls.push_back("GetCommandLineA");
    return const_cast<LPSTR>(Fake().commandLine);
}

[[noreturn]] void WINAPI ExitProcess(UINT code) {
    Fake().calls.push_back("ExitProcess " + std::to_string(code));
    Fake().exitCode = code;
    if (Fake().exitJump == nullptr)
        std::abort();
    std::longjmp(*Fake().exitJump, 1);
}

HANDLE WINAPI GetProcessHeap(void) {
    Fake().calls.push_back("GetProcessHeap");
    return Fake().noProcessHeap ? nullptr : &heapToken;
}

LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T size) {
    Fake().calls.push_back("HeapAlloc " + std::to_string(size));
    Fake().allocations.push_back(size);
    if (heap != &heapToken || flags != 0 || Fake().failAllocation)
        return nullptr;
    // Exactly the requested size, so the sanitizer catches any write past it.
    void *block = std::malloc(size == 0 ? 1 : size);
    Fake().liveBlock = block;
    return block;
}

BOOL WINAPI HeapFree(HANDLE heap, DWORD flags, LPVOID block) {
    Fake().calls.push_back("HeapFree");
    if (heap != &heapToken || flags != 0 || block != Fake().liveBlock)
        return 0;
    std::free(block);
    Fake().liveBlock = nullptr;
    ++Fake().frees;
    return 1;
}
}
