// Splitting the process's command line into an argument count and vector.
//
// The result lives in one heap block, the ArgumentBlock, laid out as:
//
//   slots        ArgumentSlotBytes(count) bytes: one address per argument,
//                then a null address
//   text region  a NUL, argument 0's bytes, a NUL, argument 1's bytes, ...,
//                the last argument's bytes, then four zero bytes
//
// Every argument is preceded by a NUL, which also ends the argument before it;
// the four zero bytes end the last one. Each slot points just past its
// argument's leading NUL. ArgumentBlockSpare bytes at the end of the block are
// never written.
//
// Quoting follows the platform's customary rules: outside a quoted section any
// byte of value 0x20 or less separates arguments; a double quote toggles the
// quoted section and is dropped; a run of backslashes is literal unless a
// double quote follows it, in which case it is halved and an odd run makes the
// quote literal; and a double quote right after the quote that closed a
// section is literal, so "" inside a quoted section gives one quote and
// leaves the section.
#pragma once

// Only this many leading bytes of a command line are read; the rest is ignored
// as if the text ended there. The platform caps a command line at 32767
// characters, so real command lines never reach it; it keeps the block size,
// at most ArgumentBlockBytesEach per byte read, well inside an int.
enum { CommandLineByteLimit = 1 << 20 };

// One slot: the address of an argument.
constexpr int ArgumentSlotWidth = static_cast<int>(sizeof(char *));
// Block size per argument: its slot plus its leading NUL.
constexpr int ArgumentBlockBytesEach = ArgumentSlotWidth + 1;
// Block size besides the arguments and their bytes: the null slot, the four
// zero bytes that end the text region, and the spare bytes.
constexpr int ArgumentBlockSpare = 8;
constexpr int ArgumentBlockFixedBytes = ArgumentSlotWidth + 4 + ArgumentBlockSpare;

#if defined(__i386__)
static_assert(ArgumentBlockBytesEach == 5 && ArgumentBlockFixedBytes == 16,
              "argument block layout on the 32-bit target");
#endif

// Bytes taken by the slots of a block holding count arguments; the text
// region starts this far into the block.
inline int ArgumentSlotBytes(int count) {
    return ArgumentSlotWidth * (count + 1);
}

// Splits text (a null text counts as empty) and returns the size of the block
// the split needs: ArgumentBlockBytesEach per argument, plus one per stored
// byte, plus ArgumentBlockFixedBytes. The count is written through count when
// it is not null. With slots and textRegion both given, the block is also
// filled: slots at the block's start, textRegion ArgumentSlotBytes(count)
// bytes further. With either of them null, nothing but the count is written.
int SplitCommandLine(const char *text, int *count, char **slots, char *textRegion);
