// Process start-up and shutdown without a language runtime: ordered tables of
// hooks around one call of the removal command.
#pragma once

#include "platform/win32.h"

// A start-up or shutdown hook. Initialisers return 0 on success; the
// pre-start hook returns non-zero on success; other tables' results are ignored.
typedef int (*HookSlot)();
typedef void (*ExitSlot)();

enum {
    ExitListCapacity = 32,
    InitialiserSlots = 3,
    ConstructorSlots = 1,
    PreTerminatorSlots = 1,
    TerminatorSlots = 1,
};

// Process exit codes of a start-up that never reached the command.
const UINT ExitNoFloatingPointUnit = 0xFFFFFFFEu;
const UINT ExitInitialiserFailed = 0xFFFFFFFDu;

struct ExitListRecord {
    ExitSlot slots[ExitListCapacity];
    int count;
};

// The tables are fixed when the program is built and read-only in it; the
// host tests swap slots to reach the failure paths, so there they stay writable.
#if defined(_WIN32)
#define ZENDREL_HOOK_TABLE const
#else
#define ZENDREL_HOOK_TABLE
#endif

extern ZENDREL_HOOK_TABLE HookSlot PreStartHook;
extern ZENDREL_HOOK_TABLE HookSlot InitialiserTable[InitialiserSlots];
extern ZENDREL_HOOK_TABLE HookSlot ConstructorTable[ConstructorSlots];
extern ZENDREL_HOOK_TABLE HookSlot PreTerminatorTable[PreTerminatorSlots];
extern ZENDREL_HOOK_TABLE HookSlot TerminatorTable[TerminatorSlots];
extern ExitListRecord ExitList;
extern HANDLE ProcessHeapHandle;

#if defined(__i386__)
#define ZENDREL_ENTRY __attribute__((force_align_arg_pointer, noreturn))
#else
#define ZENDREL_ENTRY __attribute__((noreturn))
#endif

extern "C" ZENDREL_ENTRY void ProcessEntry();
__attribute__((noreturn)) void ExitWithCode(int code);
int RunHookTable(const HookSlot *first, const HookSlot *end, bool stopOnFailure);
int CheckFloatingPointUnit();
int InitProcessHeap();
void *HeapAllocBlock(SIZE_T size);
void HeapFreeBlock(void *block);
