#!/usr/bin/env python3
"""End-to-end tests of the real Zendrel.exe under Wine.

Every run goes through launch.exe, which hands CreateProcessA the command line
byte for byte, so what the splitter sees is exactly the text written here.
Names are defined in the real DOS-device namespace of the Wine prefix with
devdef.exe; one wineserver serves the whole run, so definitions persist
between the programs.

Every exit code the real namespace can produce is tested here: 0, 1, 2, and 3
(a name removed by someone else while the question waits). Wine keeps a
single definition per name (defining a defined name fails), so the outcomes
that need stacked definitions, exit 4 (removal reported, target unchanged)
and 5 (an older definition uncovered), stay with the host tests against the
scripted namespace. Wine 8 also removes a
definition through a buffer sized for two-character names, so every case that
goes through a removal uses a drive-letter name; longer names are exercised
on the paths that do not remove.
"""

import os
import re
import select
import subprocess
import sys
import tempfile
import unittest

BUILD = os.environ.get(
    "ZENDREL_BUILD",
    os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "build", "windows"))
BUILD = os.path.abspath(BUILD)
# Another copy of the program can be named, such as one rebased elsewhere.
EXE = os.path.abspath(os.environ.get("ZENDREL_EXE", os.path.join(BUILD, "Zendrel.exe")))
TOOLS = os.path.join(BUILD, "tools")

USAGE = (b"Zendrel - removes a 'DOS Device Name' definition\n"
         b"Usage:\n"
         b"\n"
         b"Zendrel DosDeviceName [-y]\n"
         b"\n"
         b"-y  assume answer 'yes'\n"
         b"\n"
         b"Samples:\n"
         b"Zendrel X:\n"
         b"Zendrel COM5 -y\n")
NOT_FOUND = b"DosDevice not found -> abort\n"
TARGET = "\\Device\\ZendrelTest"


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def wine(arguments, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE):
    return subprocess.run(["wine"] + arguments, stdin=stdin, stdout=stdout,
                          stderr=subprocess.PIPE, timeout=90)


def launch_arguments(command_line):
    """launch.exe starting Zendrel.exe with this exact command line."""
    if isinstance(command_line, str):
        command_line = command_line.encode("latin-1")
    return [os.path.join(TOOLS, "launch.exe"), windows_path(EXE), command_line.hex()]


def run_zendrel(command_line, stdin=b"", stdout=subprocess.PIPE):
    """Runs Zendrel.exe with this exact command line; returns (exit code, output)."""
    launch = launch_arguments(command_line)
    if isinstance(stdin, bytes):
        result = subprocess.run(["wine"] + launch, input=stdin, stdout=stdout,
                                stderr=subprocess.PIPE, timeout=120)
    else:
        result = wine(launch, stdin=stdin, stdout=stdout)
    return result.returncode, result.stdout


def devdef(*arguments):
    command = [os.path.join(TOOLS, "devdef.exe")] + list(arguments)
    try:
        result = wine(command)
    except subprocess.TimeoutExpired:
        # Under emulation a Wine start now and then stalls before the program
        # runs at all. A query changes nothing, so it is simply asked again.
        if arguments[0] != "query":
            raise
        result = wine(command)
    return result.returncode, result.stdout.decode("latin-1").replace("\r\n", "\n")


class NamespaceCase(unittest.TestCase):
    """Starts each case from names that are not defined, and cleans up."""

    def subTest(self, **params):
        # Each subtest starts from a clean drive letter too.
        self.undefine("Q:")
        return super().subTest(**params)

    def define(self, name, target=TARGET):
        code, text = devdef("query", name)
        if len(name) > 2 and (code, text) == (0, target + "\n"):
            return  # left by an earlier run on the same wineserver
        self.assertEqual(code, 1, f"{name} is already defined: {text}")
        code, text = devdef("define", name, target)
        self.assertEqual(code, 0, text)
        # Longer names cannot be removed under Wine without crashing the
        # remover, so they stay: each is used by one case only.
        if len(name) <= 2:
            self.addCleanup(self.undefine, name)

    def undefine(self, name):
        if devdef("query", name)[0] == 0:
            devdef("remove", name)

    def assertDefined(self, name, target=TARGET):
        self.assertEqual(devdef("query", name), (0, target + "\n"))

    def assertUndefined(self, name):
        self.assertEqual(devdef("query", name)[0], 1)


class Usage(unittest.TestCase):
    def test_usage_text_byte_for_byte(self):
        for command_line in ["Zendrel.exe", "Zendrel.exe   ", "\"C:\\Program Files\\Zendrel.exe\""]:
            with self.subTest(command_line=command_line):
                self.assertEqual(run_zendrel(command_line, b"y\n"), (1, USAGE))


class NotFound(NamespaceCase):
    def test_undefined_name_exits_two_before_asking(self):
        for command_line in ["Zendrel.exe R:", "Zendrel.exe R: -y", "Zendrel.exe \"no such name\""]:
            with self.subTest(command_line=command_line):
                self.assertEqual(run_zendrel(command_line, b"y\n"), (2, NOT_FOUND))

    def test_300_character_name_is_refused_cleanly(self):
        self.assertEqual(run_zendrel("Zendrel.exe " + "N" * 300 + " -y"), (2, NOT_FOUND))
        # Even when a name made of its first 259 characters exists.
        self.define("N" * 259)
        self.assertEqual(run_zendrel("Zendrel.exe " + "N" * 300, b"y"), (2, NOT_FOUND))
        self.assertDefined("N" * 259)

    def test_empty_name_is_refused_and_every_name_stays(self):
        # Under Wine the empty name resolves to the namespace's own directory,
        # and removing it would take every name with it. C: is there where
        # Wine's mount manager has made it; NUL always is.
        self.define("P:")
        names = {name: devdef("query", name) for name in ("C:", "NUL", "P:")}
        self.assertEqual(names["NUL"][0], 0, names["NUL"][1])
        for command_line, answer in [("Zendrel.exe \"\" -y", b""), ("Zendrel.exe \"\"", b"y\n")]:
            with self.subTest(command_line=command_line):
                self.assertEqual(run_zendrel(command_line, answer), (2, NOT_FOUND))
                self.assertEqual({name: devdef("query", name) for name in names}, names)
        # New names can still be defined.
        self.define("R:")
        self.assertDefined("R:")


class Answers(NamespaceCase):
    ASKED = b"KernelName of Q: is " + TARGET.encode() + b"\nremove? (Y/N)\n"

    def test_yes_removes(self):
        for answer in [b"y\r\n", b"Y\r\n", b"y", b"yes\n"]:
            with self.subTest(answer=answer):
                self.define("Q:")
                code, output = run_zendrel("Zendrel.exe Q:", answer)
                self.assertEqual((code, output), (0, self.ASKED + b"Q: removed\n"))
                self.assertUndefined("Q:")

    def test_anything_else_leaves_the_name(self):
        for answer in [b"n\r\n", b"N", b"x\n", b"\r\n", b"\n", b" y\n", b""]:
            with self.subTest(answer=answer):
                self.define("Q:")
                self.assertEqual(run_zendrel("Zendrel.exe Q:", answer), (0, self.ASKED))
                self.assertDefined("Q:")

    def test_rest_of_the_line_stays_for_the_next_reader(self):
        self.define("Q:")
        read_end, write_end = os.pipe()
        os.write(write_end, b"yREST\n")
        os.close(write_end)
        with os.fdopen(read_end, "rb", buffering=0) as pipe:
            code, output = run_zendrel("Zendrel.exe Q:", stdin=pipe)
            rest = pipe.read()
        self.assertEqual((code, output), (0, self.ASKED + b"Q: removed\n"))
        self.assertEqual(rest, b"REST\n")


class AssumeYes(NamespaceCase):
    def test_switch_forms_skip_the_question(self):
        forms = ["Zendrel.exe Q: -y", "Zendrel.exe Q: -Y", "Zendrel.exe Q: -yes",
                 "Zendrel.exe Q: /x-Y", "Zendrel.exe Q: extra my-yard",
                 "Zendrel.exe \"Q:\" \"-y\"",
                 # Four backslashes before a quote: two stay, the quote opens a section.
                 "Zendrel.exe Q: \\\\\\\\\"-y\"",
                 # An escaped quote in front of the switch.
                 "Zendrel.exe Q: \"\\\"-y\""]
        for command_line in forms:
            with self.subTest(command_line=command_line):
                self.define("Q:")
                code, output = run_zendrel(command_line, b"n\n")
                self.assertEqual(code, 0)
                self.assertEqual(output, b"KernelName of Q: is " + TARGET.encode()
                                 + b"\nQ: removed\n")
                self.assertUndefined("Q:")

    def test_no_switch_means_a_question(self):
        for command_line in ["Zendrel.exe Q: \"-\\\"y\"", "Zendrel.exe Q: -n y", "-y Q:"]:
            with self.subTest(command_line=command_line):
                self.define("Q:")
                code, output = run_zendrel(command_line, b"n\n")
                self.assertEqual(code, 0)
                self.assertTrue(output.endswith(b"remove? (Y/N)\n"), output)
                self.assertDefined("Q:")


class Quoting(NamespaceCase):
    def test_quoted_names_reach_the_command_intact(self):
        cases = [
            ("Zendrel.exe \"My Device\"", "My Device"),
            ("Zendrel.exe \"My \\\"Quoted\\\" Device\"", "My \"Quoted\" Device"),
            ("Zendrel.exe My\" \"Dev", "My Dev"),
            # The doubled quote gives one quote and closes the section; the
            # last quote opens a new one that runs to the end.
            ("Zendrel.exe \"a\"\"b\" c", "a\"b c"),
            ("Zendrel.exe\t\"tab\tname\"", "tab\tname"),
            ("Zendrel.exe Odd\\\"Quote", "Odd\"Quote"),
        ]
        for command_line, name in cases:
            with self.subTest(command_line=command_line):
                self.define(name)
                code, output = run_zendrel(command_line, b"n\n")
                self.assertEqual(code, 0)
                self.assertEqual(output, b"KernelName of " + name.encode() + b" is "
                                 + TARGET.encode() + b"\nremove? (Y/N)\n")
                self.assertDefined(name)


class RefusedRemoval(NamespaceCase):
    def read_until(self, pipe, ending, seconds=60):
        """Reads from a live pipe until what came ends with ending."""
        output = b""
        while not output.endswith(ending):
            ready, _, _ = select.select([pipe], [], [], seconds)
            self.assertTrue(ready, f"no {ending!r} after {output!r}")
            chunk = os.read(pipe.fileno(), 4096)
            self.assertTrue(chunk, f"output ended after {output!r}")
            output += chunk
        return output

    def test_name_gone_before_the_answer_is_refused_with_the_platform_code(self):
        self.define("Q:")
        process = subprocess.Popen(["wine"] + launch_arguments("Zendrel.exe Q:"),
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL)
        try:
            asked = self.read_until(process.stdout, b"remove? (Y/N)")
            self.assertEqual(devdef("remove", "Q:")[0], 0)
            process.stdin.write(b"y\n")
            process.stdin.close()
            output = asked + process.stdout.read()
            code = process.wait(timeout=60)
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()
        match = re.fullmatch(rb"KernelName of Q: is \\Device\\ZendrelTest\nremove\? \(Y/N\)\n"
                             rb"Q: not removed, err=(\d+)", output)
        self.assertIsNotNone(match, output)
        self.assertEqual(code, 3)
        # The code is the platform's own for removing a name that is not there.
        self.assertEqual(devdef("remove", "Q:"),
                         (1, f"remove failed, err={int(match.group(1))}\n"))
        self.assertUndefined("Q:")


class RefusedOutput(NamespaceCase):
    def test_output_that_refuses_writes_changes_nothing_else(self):
        self.define("Q:")
        with tempfile.TemporaryFile() as read_only_source:
            fd = os.open("/proc/self/fd/%d" % read_only_source.fileno(), os.O_RDONLY)
            with os.fdopen(fd, "rb") as read_only:
                code, _ = run_zendrel("Zendrel.exe Q: -y", stdout=read_only)
        self.assertEqual(code, 0)
        self.assertUndefined("Q:")
        code, _ = run_zendrel("Zendrel.exe R:", stdout=subprocess.DEVNULL)
        self.assertEqual(code, 2)


class Executable(unittest.TestCase):
    def test_version_record(self):
        result = wine([os.path.join(TOOLS, "verinfo.exe"), windows_path(EXE)])
        self.assertEqual(result.returncode, 0)
        lines = result.stdout.decode().replace("\r\n", "\n").splitlines()
        self.assertEqual(lines, [
            "FileDescription=Zendrel - deletes a 'DOS Device Definition'",
            "FileVersion=0.4.0.0",
            "InternalName=Zendrel",
            "OriginalFilename=Zendrel.exe",
            "ProductName=Zendrel",
            "ProductVersion=0.4.0.0",
            "FixedFileVersion=0.4.0.0",
            "FixedProductVersion=0.4.0.0",
        ])

    def test_pe32_console_importing_three_system_libraries(self):
        headers = subprocess.run(["i686-w64-mingw32-objdump", "-p", EXE], check=True,
                                 stdout=subprocess.PIPE).stdout.decode()
        self.assertIn("file format pei-i386", headers)
        self.assertRegex(headers, r"Subsystem\s+00000003\s+\(Windows CUI\)")
        dlls = sorted(line.split()[-1] for line in headers.splitlines()
                      if "DLL Name:" in line)
        self.assertEqual(dlls, ["KERNEL32.dll", "SHLWAPI.dll", "USER32.dll"])


if __name__ == "__main__":
    runner = unittest.TextTestRunner(verbosity=2)
    result = runner.run(unittest.defaultTestLoader.loadTestsFromModule(sys.modules[__name__]))
    # A failing subtest is reported on its own; count each test once.
    failed = {getattr(test, "test_case", test).id() for test, _ in result.failures + result.errors}
    print(f"{result.testsRun - len(failed)} passed, {len(failed)} failed")
    sys.exit(0 if result.wasSuccessful() else 1)
