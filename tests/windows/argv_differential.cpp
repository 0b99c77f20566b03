// Differential test of SplitCommandLine against the platform's own splitter,
// CommandLineToArgvW, for a Windows console build run on Windows or Wine.
//
// The command lines are every short string over a small alphabet plus a few
// thousand longer ones from a fixed-seed generator, all made of letters,
// spaces, tabs, double quotes and backslash runs, after a plain argument 0.
//
// Left out by design:
// - control bytes other than space and tab: SplitCommandLine separates on
//   every byte of value 0x20 or less, CommandLineToArgvW only on space and
//   tab;
// - anything special in argument 0: CommandLineToArgvW reads the program name
//   by a simpler rule (quotes only, no backslash escapes), while
//   SplitCommandLine splits it like any other argument. Argument 0 is always
//   "prog" followed by one space, and only arguments 1 onwards are compared.
//
// Inside a quoted section a doubled quote gives one literal quote and ends
// the section (the long-standing rule of the platform's C runtime). Newer
// runtimes keep the section open instead; any platform splitter following
// that rule shows up here as mismatches on lines like  prog "a"" b.
#include <windows.h>
#include <shellapi.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "runtime/cmdline.h"

namespace {

unsigned NextRandom(unsigned *state) {
    // xorshift32: fixed seed, same sequence on every run.
    unsigned x = *state;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    *state = x;
    return x;
}

std::vector<std::string> SplitOurs(const std::string &line) {
    std::vector<std::string> args;
    int count = 0;
    int size = SplitCommandLine(line.c_str(), &count, nullptr, nullptr);
    char *block = static_cast<char *>(malloc(size));
    if (block == nullptr)
        return args;
    char **slots = reinterpret_cast<char **>(block);
    SplitCommandLine(line.c_str(), &count, slots, block + ArgumentSlotBytes(count));
    for (int i = 0; i < count; ++i)
        args.push_back(slots[i]);
    free(block);
    return args;
}

// The platform's split, narrowed back to bytes; the lines are plain ASCII.
bool SplitPlatform(const std::string &line, std::vector<std::string> *args) {
    std::wstring wide(line.begin(), line.end());
    int count = 0;
    LPWSTR *argv = CommandLineToArgvW(wide.c_str(), &count);
    if (argv == nullptr)
        return false;
    for (int i = 0; i < count; ++i) {
        std::string arg;
        for (const wchar_t *c = argv[i]; *c != 0; ++c)
            arg += static_cast<char>(*c);
        args->push_back(arg);
    }
    LocalFree(argv);
    return true;
}

std::string Escaped(const std::string &text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\t') {
            out += "\\t";
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string EscapedList(const std::vector<std::string> &args, size_t from) {
    std::string out = "[";
    for (size_t i = from; i < args.size(); ++i) {
        if (i > from)
            out += ", ";
        out += Escaped(args[i]);
    }
    return out + "]";
}

struct Tally {
    int passed = 0;
    int failed = 0;
};

void Compare(const std::string &tail, Tally *tally) {
    std::string line = "prog " + tail;
    std::vector<std::string> ours = SplitOurs(line);
    std::vector<std::string> theirs;
    if (!SplitPlatform(line, &theirs)) {
        printf("MISMATCH %s: CommandLineToArgvW failed (%lu)\n", Escaped(line).c_str(),
               static_cast<unsigned long>(GetLastError()));
        ++tally->failed;
        return;
    }
    bool same = !ours.empty() && ours[0] == "prog" && !theirs.empty() &&
                std::vector<std::string>(ours.begin() + 1, ours.end()) ==
                    std::vector<std::string>(theirs.begin() + 1, theirs.end());
    if (same) {
        ++tally->passed;
        return;
    }
    ++tally->failed;
    printf("MISMATCH %s: ours %s, platform %s\n", Escaped(line).c_str(),
           EscapedList(ours, 1).c_str(), EscapedList(theirs, 1).c_str());
}

const char *const Pieces[] = {"a", "b", " ", "\t", "\"", "\\", "\\\\", "\\\\\\", "\\\\\\\\"};
const int PieceCount = sizeof Pieces / sizeof Pieces[0];

} // namespace

int main() {
    Tally tally;

    // Every string of up to six characters over a, space, tab, quote and
    // backslash.
    const char alphabet[] = {'a', ' ', '\t', '"', '\\'};
    const int letters = sizeof alphabet;
    for (int length = 1; length <= 6; ++length) {
        int total = 1;
        for (int i = 0; i < length; ++i)
            total *= letters;
        for (int n = 0; n < total; ++n) {
            std::string tail;
            for (int i = 0, rest = n; i < length; ++i, rest /= letters)
                tail += alphabet[rest % letters];
            Compare(tail, &tally);
        }
    }

    // Longer lines built from letters, blanks, quotes and backslash runs.
    unsigned state = 0x5eed1234u;
    for (int n = 0; n < 4000; ++n) {
        std::string tail;
        int pieces = 1 + static_cast<int>(NextRandom(&state) % 24);
        for (int i = 0; i < pieces; ++i)
            tail += Pieces[NextRandom(&state) % PieceCount];
        Compare(tail, &tally);
    }

    printf("%d passed, %d failed\n", tally.passed, tally.failed);
    return tally.failed == 0 ? 0 : 1;
}
