"""How the tests start a Windows program: as itself on Windows, through Wine
elsewhere, and where they are. Every test that runs one builds its command line
here."""

import os
import subprocess

ON_WINDOWS = os.name == "nt"
# The folder with the programs under test and their helpers in tools/: the
# Linux build's, or the CI artifact unpacked on Windows.
BUILD = os.path.abspath(os.environ.get(
    "ZENDREL_BUILD",
    os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "build", "windows")))
TOOLS = os.path.join(BUILD, "tools")


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


def run(program, *arguments, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, timeout=90):
    """Runs a Windows program; stdin is bytes to feed it or a file."""
    feed = {"input": stdin} if isinstance(stdin, bytes) else {"stdin": stdin}
    return subprocess.run(command(program, *arguments), stdout=stdout, stderr=subprocess.PIPE,
                          timeout=timeout, **feed)
