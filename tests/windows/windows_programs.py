"""How the tests start a Windows program: as itself on Windows, through Wine
elsewhere. Every test that runs one builds its command line here."""

import os

ON_WINDOWS = os.name == "nt"


def command(program, *arguments):
    """The command that runs PROGRAM with ARGUMENTS on this machine."""
    if ON_WINDOWS:
        return [program, *arguments]
    return ["wine", program, *arguments]


def windows_path(path):
    """An absolute path as a Windows program sees it: Wine shows / as Z:."""
    if ON_WINDOWS:
        return path
    return "Z:" + path.replace("/", "\\")
