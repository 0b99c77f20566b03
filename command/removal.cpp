#include "command/removal.h"

#include "platform/win32.h"
#include "runtime/console.h"
#include "runtime/scan.h"

namespace {

// Flags for DefineDosDeviceA: drop the newest definition, tell nobody.
const DWORD RemoveNewestQuietly = DDD_REMOVE_DEFINITION | DDD_NO_BROADCAST_SYSTEM;

const char *const UsageLines[] = {
    "Zendrel - removes a 'DOS Device Name' definition\n",
    "Usage:\n",
    "\n",
    "Zendrel DosDeviceName [-y]\n",
    "\n",
    "-y  assume answer 'yes'\n",
    "\n",
    "Samples:\n",
    "Zendrel X:\n",
    "Zendrel COM5 -y\n",
};

bool SameFirstTarget(const char *before, const char *after) {
    int i = 0;
    while (before[i] != '\0' && before[i] == after[i])
        ++i;
    return before[i] == after[i];
}

// Copies the name with its NUL; false when it is empty or does not fit. An
// over-long name is never truncated into some other, existing name, and an
// empty one names no device: a lookup of it can find the namespace's own
// directory, whose removal would take every name with it.
bool CopyDeviceName(const char *name, char *buffer) {
    for (int i = 0; i < DeviceNameCapacity; ++i) {
        buffer[i] = name[i];
        if (name[i] == '\0')
            return i != 0;
    }
    return false;
}

} // namespace

int RunRemovalCommand(int argumentCount, char **arguments) {
    if (argumentCount <= 1) {
        for (const char *line : UsageLines)
            ConsolePrint(line);
        return RemovalUsage;
    }

    char DeviceNameBuffer[DeviceNameCapacity];
    if (!CopyDeviceName(arguments[1], DeviceNameBuffer)) {
        ConsolePrint("DosDevice not found -> abort\n");
        return RemovalNameNotFound;
    }

    bool assumeYes = false;
    for (int i = 1; i < argumentCount; ++i)
        if (StrStrIA(arguments[i], "-y") != nullptr)
            assumeYes = true;

    char CurrentTargetBuffer[TargetListCapacity];
    if (QueryDosDeviceA(DeviceNameBuffer, CurrentTargetBuffer, TargetListCapacity) == 0) {
        ConsolePrint("DosDevice not found -> abort\n");
        return RemovalNameNotFound;
    }
    ConsolePrint("KernelName of %s is %s\n", DeviceNameBuffer, CurrentTargetBuffer);

    char answer = 'N';
    if (assumeYes) {
        answer = 'Y';
    } else {
        ConsolePrint("remove? (Y/N)");
        ConsoleScan("%c", &answer);
        answer = static_cast<char>(answer & 0xDF); // 'y' -> 'Y'
        ConsolePrint("\n");
        if (answer != 'Y')
            return RemovalDoneOrDeclined;
    }

    if (!DefineDosDeviceA(RemoveNewestQuietly, DeviceNameBuffer, nullptr)) {
        ConsolePrint("%s not removed, err=%u", DeviceNameBuffer, GetLastError());
        return RemovalRefused;
    }

    char RemainingTargetBuffer[TargetListCapacity];
    if (QueryDosDeviceA(DeviceNameBuffer, RemainingTargetBuffer, TargetListCapacity) == 0) {
        ConsolePrint("%s removed\n", DeviceNameBuffer);
        return RemovalDoneOrDeclined;
    }
    ConsolePrint("removal of %s reported as ok, but ", DeviceNameBuffer);
    if (!SameFirstTarget(CurrentTargetBuffer, RemainingTargetBuffer)) {
        ConsolePrint("it points now to %s\n", RemainingTargetBuffer);
        return RemovalOlderTargetShown;
    }
    ConsolePrint("it is still there\n");
    return RemovalTargetUnchanged;
}
