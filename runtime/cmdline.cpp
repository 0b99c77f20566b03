// One loop serves both passes: measuring (nothing written) and filling. Only
// the writes depend on the pass, so both always agree on count and size.
#include "runtime/cmdline.h"

namespace {

// Progress through the text and into the block.
struct SplitCursor {
    const unsigned char *text;
    int at;           // next byte of text to read
    char *textRegion; // null while measuring
    int used;         // text-region bytes produced so far (written when filling)
    int stored;       // argument bytes stored so far
};

// The byte at the cursor, as unsigned; 0 at or past the read limit, which
// ends the text there.
unsigned PeekByte(const SplitCursor *cursor) {
    if (cursor->at >= CommandLineByteLimit)
        return 0;
    return cursor->text[cursor->at];
}

void PutByte(SplitCursor *cursor, unsigned value) {
    if (cursor->textRegion != nullptr)
        cursor->textRegion[cursor->used] = static_cast<char>(value);
    ++cursor->used;
}

void StoreByte(SplitCursor *cursor, unsigned value) {
    PutByte(cursor, value);
    ++cursor->stored;
}

bool EndsArgument(unsigned value, bool quoted) {
    return value == 0 || (!quoted && value <= 0x20);
}

// Stores one argument's bytes, starting at its first byte, and stops on the
// byte that ends it.
void SplitArgument(SplitCursor *cursor) {
    bool quoted = false;
    // Set right after a double quote closed a quoted section: a double quote
    // there is literal.
    bool afterClosingQuote = false;
    for (;;) {
        unsigned value = PeekByte(cursor);
        if (EndsArgument(value, quoted))
            return;
        if (value == '"' && !afterClosingQuote) {
            quoted = !quoted;
            afterClosingQuote = !quoted;
            ++cursor->at;
            continue;
        }
        afterClosingQuote = false;
        if (value != '\\') {
            StoreByte(cursor, value);
            ++cursor->at;
            continue;
        }
        int run = 0;
        while (PeekByte(cursor) == '\\') {
            ++run;
            ++cursor->at;
        }
        bool beforeQuote = PeekByte(cursor) == '"';
        int kept = beforeQuote ? run / 2 : run;
        for (int i = 0; i < kept; ++i)
            StoreByte(cursor, '\\');
        // An odd run escapes the quote; after an even one the quote is read
        // next and toggles the section.
        if (beforeQuote && run % 2 == 1) {
            StoreByte(cursor, '"');
            ++cursor->at;
        }
    }
}

} // namespace

int SplitCommandLine(const char *text, int *count, char **slots, char *textRegion) {
    SplitCursor cursor;
    cursor.text = reinterpret_cast<const unsigned char *>(text != nullptr ? text : "");
    cursor.at = 0;
    cursor.textRegion = slots != nullptr ? textRegion : nullptr;
    cursor.used = 0;
    cursor.stored = 0;
    int arguments = 0;
    for (;;) {
        unsigned value = PeekByte(&cursor);
        while (value != 0 && value <= 0x20) {
            ++cursor.at;
            value = PeekByte(&cursor);
        }
        if (value == 0)
            break;
        PutByte(&cursor, 0);
        if (cursor.textRegion != nullptr)
            slots[arguments] = cursor.textRegion + cursor.used;
        ++arguments;
        SplitArgument(&cursor);
    }
    for (int i = 0; i < 4; ++i)
        PutByte(&cursor, 0);
    if (cursor.textRegion != nullptr)
        slots[arguments] = nullptr;
    if (count != nullptr)
        *count = arguments;
    return arguments * ArgumentBlockBytesEach + cursor.stored + ArgumentBlockFixedBytes;
}
