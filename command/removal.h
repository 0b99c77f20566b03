// The tool's one job: remove the most recent definition of a DOS device name.
#pragma once

enum {
    DeviceNameCapacity = 260, // name and its NUL
    TargetListCapacity = 520, // target list as the platform returns it
};

// Exit codes of the command.
enum RemovalResult {
    RemovalDoneOrDeclined = 0,
    RemovalUsage = 1,
    RemovalNameNotFound = 2,
    RemovalRefused = 3,
    RemovalTargetUnchanged = 4,
    RemovalOlderTargetShown = 5,
};

// argc/argv as split from the command line; argument 0 (the program) is not
// looked at. Prints everything to standard output and returns the exit code.
int RunRemovalCommand(int argumentCount, char **arguments);
