#include "runtime/startup.h"

#include "command/removal.h"
#include "runtime/cmdline.h"
#include "runtime/console.h"

#if !defined(__i386__)
#include <fenv.h>
#endif

ZENDREL_HOOK_TABLE HookSlot PreStartHook = CheckFloatingPointUnit;
// Streams before the heap: nothing here depends on the heap, and a heap
// failure must still leave a process that exits cleanly.
ZENDREL_HOOK_TABLE HookSlot InitialiserTable[InitialiserSlots] = {nullptr, InitStandardStreams,
                                                                  InitProcessHeap};
ZENDREL_HOOK_TABLE HookSlot ConstructorTable[ConstructorSlots] = {nullptr};
ZENDREL_HOOK_TABLE HookSlot PreTerminatorTable[PreTerminatorSlots] = {nullptr};
ZENDREL_HOOK_TABLE HookSlot TerminatorTable[TerminatorSlots] = {nullptr};
ExitListRecord ExitList;
HANDLE ProcessHeapHandle;

int RunHookTable(const HookSlot *first, const HookSlot *end, bool stopOnFailure) {
    for (const HookSlot *slot = first; slot < end; ++slot) {
        if (*slot == nullptr)
            continue;
        int result = (*slot)();
        if (stopOnFailure && result != 0)
            return result;
    }
    return 0;
}

int CheckFloatingPointUnit() {
#if defined(__i386__)
    // A missing x87 leaves the prepared pattern where FNSTSW would have
    // stored a clean status word.
    unsigned short status = 0x5A5A;
    unsigned short control;
    // All exceptions masked, 53-bit precision, round to nearest.
    const unsigned short wanted = 0x027F;
    __asm__ volatile("fninit\n\tfnstsw %0" : "+m"(status));
    if ((status & 0xFF) != 0)
        return 0;
    __asm__ volatile("fnstcw %0" : "=m"(control));
    if ((control & 0x103F) != 0x003F)
        return 0;
    __asm__ volatile("fldcw %0" : : "m"(wanted));
    return 1;
#else
    // The default environment is the same one: round to nearest, every
    // exception masked, and doubles carry 53 bits on this processor.
    return fesetenv(FE_DFL_ENV) == 0 && fegetround() == FE_TONEAREST ? 1 : 0;
#endif
}

int InitProcessHeap() {
    ProcessHeapHandle = GetProcessHeap();
    return ProcessHeapHandle == nullptr ? 1 : 0;
}

void *HeapAllocBlock(SIZE_T size) {
    return HeapAlloc(ProcessHeapHandle, 0, size);
}

void HeapFreeBlock(void *block) {
    HeapFree(ProcessHeapHandle, 0, block);
}

void ExitWithCode(int code) {
    // Last registered runs first; the count drops before the call so an exit
    // function that exits again cannot run itself twice.
    while (ExitList.count != 0) {
        --ExitList.count;
        ExitList.slots[ExitList.count]();
    }
    RunHookTable(PreTerminatorTable, PreTerminatorTable + PreTerminatorSlots, false);
    RunHookTable(TerminatorTable, TerminatorTable + TerminatorSlots, false);
    ExitProcess(static_cast<UINT>(code));
}

// An empty slot is allowed here as in every table. It is tested as an
// argument: where the slot is read-only the compiler knows its content and
// rejects a test of it against null as pointless.
static bool PreStartHookFails(HookSlot hook) {
    return hook != nullptr && hook() == 0;
}

extern "C" void ProcessEntry() {
    if (PreStartHookFails(PreStartHook))
        ExitProcess(ExitNoFloatingPointUnit);
    if (RunHookTable(InitialiserTable, InitialiserTable + InitialiserSlots, true) != 0)
        ExitProcess(ExitInitialiserFailed);
    RunHookTable(ConstructorTable, ConstructorTable + ConstructorSlots, false);

    // A missing command line splits as an empty one.
    const char *commandLine = GetCommandLineA();
    int count = 0;
    int size = SplitCommandLine(commandLine, &count, nullptr, nullptr);

    int result;
    char *ArgumentBlock = static_cast<char *>(HeapAllocBlock(static_cast<SIZE_T>(size)));
    if (ArgumentBlock != nullptr) {
        char **slots = reinterpret_cast<char **>(ArgumentBlock);
        SplitCommandLine(commandLine, &count, slots, ArgumentBlock + ArgumentSlotBytes(count));
        result = RunRemovalCommand(count, slots);
        HeapFreeBlock(ArgumentBlock);
    } else {
        // Without an argument block the command has nothing to work on and
        // shows its usage text.
        result = RunRemovalCommand(0, nullptr);
    }
    ExitWithCode(result);
}
