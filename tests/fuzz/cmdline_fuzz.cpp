// Splits arbitrary bytes as a command line and checks the block layout that
// the start-up relies on. Embedded NULs simply end the text.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "runtime/cmdline.h"

namespace {

void Require(bool condition) {
    if (!condition)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    char *text = static_cast<char *>(malloc(size + 1));
    memcpy(text, data, size);
    text[size] = '\0';

    int measured = -1;
    int blockSize = SplitCommandLine(text, &measured, nullptr, nullptr);
    Require(measured >= 0);
    Require(SplitCommandLine(text, nullptr, nullptr, nullptr) == blockSize);

    char *block = static_cast<char *>(malloc(blockSize));
    char **slots = reinterpret_cast<char **>(block);
    char *region = block + ArgumentSlotBytes(measured);
    Require(region < block + blockSize);
    int filled = -1;
    Require(SplitCommandLine(text, &filled, slots, region) == blockSize);
    Require(filled == measured);

    // Arguments follow one another in the text region, each after a NUL.
    const int slotWidth = static_cast<int>(sizeof(char *));
    char *end = block + blockSize;
    char *at = region;
    int stored = 0;
    for (int i = 0; i < filled; ++i) {
        Require(*at == '\0');
        Require(slots[i] == at + 1);
        ++at;
        size_t length = strnlen(at, end - at);
        Require(at + length < end);
        stored += static_cast<int>(length);
        at += length;
    }
    Require(slots[filled] == nullptr);
    Require(end - at >= 4);
    Require(at[0] == '\0' && at[1] == '\0' && at[2] == '\0' && at[3] == '\0');
    Require(end - (at + 4) == ArgumentBlockSpare);
    Require(blockSize == filled * (slotWidth + 1) + stored + slotWidth + 12);
    // Nothing is stored that was not in the text.
    Require(stored <= static_cast<int>(strlen(text)));

    free(block);
    free(text);
    return 0;
}
