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

extern HookSlot PreStartHook;
extern HookSlot InitialiserTable[InitialiserSlots];
extern HookSlot ConstructorTable[ConstructorSlots];
extern HookSlot PreTerminatorTable[PreTerminatorSlots];
extern HookSlot TerminatorTable[TerminatorSlots];
extern ExitListRecord ExitList;
extern HANDLE ProcessHeapHandle;

#if defined(__i386__)
#define ZENDREL_ENTRY __attribute__((force_align_arg_pointer, noreturn))
#else
#define ZENDREL_ENTRY __attribute__((noreturn))
#endif

extern "C" ZENDREL_ENTRY void ProcessEntry();
__attribute__((noreturn)) void ExitWithCode(int code);
int RunHookTable(HookSlot *first, HookSlot *end, bool stopOnFailure);
int CheckFloatingPointUnit();
int InitProcessHeap();
void *HeapAllocBlock(SIZE_T size);
void HeapFreeBlock(void *block);
