#!/usr/bin/env python3
"""Exit codes as cmd and PowerShell show them, on Windows or under Wine.

   exit_codes_test.py     (ZENDREL_BUILD: the folder with tools\\exitwith.exe)

The codes that do not fit a byte, as docs/wine.md tells script writers, held
against the code the platform reports (launch.exe's GetExitCodeProcess).
tools\\exitwith.exe ends with the code it is given, or by a Ctrl+C in a
console of its own. Under Wine, PowerShell and Ctrl+C's code skip with the
reason; on Windows neither may. cmd may ask "Terminate batch job (Y/N)?" after
0xC000013A: every batch is given N, and whether cmd asked goes on the facts
line at the end, however the cases went; where cmd does not take the N, the
rows that make it ask skip with that reason. TimeLimit, where launch.exe has
a job, shows a program that never ends stopped with all it started.
"""

import os
import re
import subprocess
import sys
import tempfile
import time
import unittest

import windows_programs

EXITWITH = os.path.join(windows_programs.TOOLS, "exitwith.exe")
command = windows_programs.command
CMD = os.environ.get("ComSpec", "C:\\windows\\system32\\cmd.exe")

# What exitwith is given, the exit code the platform reports, what cmd's
# %ERRORLEVEL% and PowerShell's $LASTEXITCODE show (as docs/wine.md says), and
# whether `if errorlevel 1` is true.
CASES = [
    ("0", 0, "0", False),
    ("3", 3, "3", True),
    ("4294967294", 0xFFFFFFFE, "-2", False),
    ("4294967293", 0xFFFFFFFD, "-3", False),
    ("3221225786", 0xC000013A, "-1073741510", False),
    ("ctrl-c", 0xC000013A, "-1073741510", False),
]
CTRL_C_UNDER_WINE = ("under Wine the default Ctrl+C handler does not end the process with a "
                     "code (seen with Wine 8: the process crashes)")


def cases():
    return [case for case in CASES if windows_programs.ON_WINDOWS or case[0] != "ctrl-c"]


HELPER = windows_programs.windows_path(EXITWITH)


# The whole run's limit, within ctest's and the CI step's.
RUN_SECONDS = 240
# What cmd is given to read, should it ask whether to end the batch.
ANSWER = b"N\r\n"
PROMPT = b"Terminate batch job (Y/N)?"
# The platform's facts as the cases find them, printed at the end.
FACTS = {"cmd-asked-terminate-batch-job-after": set(), "ctrl-c-exit-code": None}
UNANSWERED = "cmd asked whether to end the batch and did not take the answer on standard input"


def run(command_line, stdin=subprocess.DEVNULL, timeout=60, batch_code=None, again=False):
    """Runs COMMAND_LINE (a stall is tried once more: none of these runs
    changes anything), noting whether cmd asked to end the batch after
    BATCH_CODE; where it asked and the answer was not taken, the case skips,
    as every batch after that code then does."""
    asked = FACTS["cmd-asked-terminate-batch-job-after"]
    if batch_code is not None and f"{batch_code:#010x}-unanswered" in asked:
        raise unittest.SkipTest(UNANSWERED)
    try:
        result = windows_programs.run_command(command_line, stdin=stdin, timeout=timeout,
                                              changes_nothing=batch_code is None)
    except subprocess.TimeoutExpired as stopped:
        if batch_code is not None and PROMPT in (stopped.output or b"") + (stopped.stderr or b""):
            asked.add(f"{batch_code:#010x}-unanswered")
            raise unittest.SkipTest(UNANSWERED) from None
        if batch_code is None or again:
            raise
        return run(command_line, stdin, timeout, batch_code, again=True)
    if batch_code is not None and PROMPT in result.stdout + result.stderr:
        asked.add(f"{batch_code:#010x}")
    return result


def platform_code(application, command_line, stdin=subprocess.DEVNULL, batch_code=None):
    """The exit code GetExitCodeProcess gives for this command line, all 32 bits;
    APPLICATION is a path as Windows sees it."""
    result = run(windows_programs.launched(application, command_line), stdin=stdin,
                 batch_code=batch_code)
    found = re.search(rb"launch: exit code 0x([0-9A-F]{8})", result.stderr)
    if not found:
        raise AssertionError(f"launch.exe gave no exit code: {result.stderr!r}")
    return int(found[1], 16)


def shown(output):
    """Lines ending in 'ARGUMENT KEY=VALUE' as a dictionary keyed by (ARGUMENT,
    KEY); a prompt of cmd's may stand before one on its line."""
    table = {}
    for line in output.decode("ascii", "replace").splitlines():
        found = re.search(r"(\S+) (\S+)=(\S*)$", line.strip())
        if found:
            table[found[1], found[2]] = found[3]
    return table


def publish(stopped=None):
    asked = sorted(FACTS["cmd-asked-terminate-batch-job-after"]) or ["none"]
    code = FACTS["ctrl-c-exit-code"]
    windows_programs.publish("exit codes", {
        "cmd-asked-terminate-batch-job-after": ",".join(asked),
        "ctrl-c-exit-code": code if code is None else f"{code:#010x}",
        "job": windows_programs.jobs()}, stopped)


def real_powershells():
    """The PowerShells that answer with their version: (names, why none)."""
    found, seen = [], []
    for name in ("powershell", "pwsh"):
        try:
            result = run(command(name, "-NoProfile", "-NonInteractive", "-Command",
                                 "$PSVersionTable.PSVersion.Major"), timeout=120)
        except subprocess.TimeoutExpired as error:
            seen.append(f"{name}: {error}")
            continue
        if re.fullmatch(rb"\s*\d+\s*", result.stdout):
            found.append(name)
        else:
            seen.append(f"{name}: printed {result.stdout!r}, exit {result.returncode}, "
                        f"{result.stderr.decode(errors='replace').strip()}")
    return found, "; ".join(seen)


class Platform(unittest.TestCase):
    def test_the_helper_ends_with_the_code(self):
        for argument, code, _, _ in CASES:
            with self.subTest(argument=argument):
                if (argument, code) not in [case[:2] for case in cases()]:
                    self.skipTest(CTRL_C_UNDER_WINE)
                found = platform_code(HELPER, f"exitwith {argument}")
                if argument == "ctrl-c":
                    FACTS["ctrl-c-exit-code"] = found
                self.assertEqual(found, code)


class Cmd(unittest.TestCase):
    def batch(self, folder, lines):
        path = os.path.join(folder, "codes.cmd")
        with open(path, "w", encoding="ascii", newline="\r\n") as file:
            file.write("\n".join(["@echo off", *lines]) + "\n")
        return windows_programs.windows_path(path)

    def test_errorlevel_and_if_errorlevel(self):
        # One batch a code, so that a batch cmd ends early hides no other case.
        for argument, code, number, errorlevel_1 in cases():
            with self.subTest(argument=argument), \
                    tempfile.TemporaryDirectory(prefix="zendrel-codes-") as folder:
                batch = self.batch(folder, [
                    f'"{HELPER}" {argument}',
                    f"echo {argument} errorlevel=%ERRORLEVEL%",
                    f"if errorlevel 1 (echo {argument} if-errorlevel-1=yes)"
                    f" else (echo {argument} if-errorlevel-1=no)",
                    f"if %ERRORLEVEL% neq 0 (echo {argument} neq-0=yes)"
                    f" else (echo {argument} neq-0=no)"])
                result = run(command("cmd", "/c", batch), stdin=ANSWER, batch_code=code)
                table = shown(result.stdout)
                self.assertEqual(table.get((argument, "errorlevel")), number, result.stdout)
                self.assertEqual(table.get((argument, "if-errorlevel-1")),
                                 "yes" if errorlevel_1 else "no", result.stdout)
                self.assertEqual(table.get((argument, "neq-0")), "yes" if code else "no",
                                 result.stdout)

    def test_exit_b_hands_the_code_on_whole(self):
        for argument, code, _, _ in cases():
            with self.subTest(argument=argument), \
                    tempfile.TemporaryDirectory(prefix="zendrel-codes-") as folder:
                batch = self.batch(folder, [f'"{HELPER}" {argument}', "exit /b %ERRORLEVEL%"])
                self.assertEqual(platform_code(CMD, f'cmd /c "{batch}"', stdin=ANSWER,
                                               batch_code=code), code)


class PowerShell(unittest.TestCase):
    def test_lastexitcode(self):
        shells, why = real_powershells()
        if not shells:
            if windows_programs.ON_WINDOWS:
                self.fail(f"no PowerShell on Windows: {why}")
            self.skipTest(f"no PowerShell here: {why}")
        # No double quotes: they would have to survive the command line.
        script = "; ".join(
            f"& '{HELPER}' {argument}; '{argument} lastexitcode=' + $LASTEXITCODE"
            for argument, _, _, _ in cases())
        for shell in shells:
            result = run(command(shell, "-NoProfile", "-NonInteractive", "-Command", script))
            table = shown(result.stdout)
            for argument, _, number, _ in cases():
                with self.subTest(shell=shell, argument=argument):
                    self.assertEqual(table.get((argument, "lastexitcode")), number,
                                     result.stdout + result.stderr)


class TimeLimit(unittest.TestCase):
    LIMIT = 20

    def test_a_program_that_never_ends_is_stopped_with_all_it_started(self):
        windows_programs.JOB.learn()
        windows_programs.need(self, windows_programs.JOB)
        if windows_programs.ON_WINDOWS:
            # The helper can tell a running process: this one.
            result = run(command(EXITWITH, "running", str(os.getpid())))
            self.assertEqual((result.returncode, result.stdout.strip()), (0, b"running"))
        # Run to its end, and talked to: a test's every wait on it ends with
        # the run's limit, though the test would give it longer.
        for way, output_of in [("run", self.run_to_its_limit),
                               ("started", self.talk_to_until_the_run_ends)]:
            with self.subTest(way=way):
                began = time.monotonic()
                output = output_of()
                spent = time.monotonic() - began
                self.assertLess(spent, self.LIMIT + windows_programs.REAP_SECONDS + 5)
                pids = re.findall(rb"pid (\d+)", output)
                self.assertEqual(len(pids), 2, f"the helper and its copy did not both start in "
                                               f"{self.LIMIT} s: {output!r}")
                for pid in pids:
                    result = run(command(EXITWITH, "running", pid.decode()))
                    self.assertEqual((result.returncode, result.stdout.strip()), (1, b"ended"))

    def run_to_its_limit(self):
        with self.assertRaises(subprocess.TimeoutExpired) as raised:
            windows_programs.run(EXITWITH, "hang", timeout=self.LIMIT)
        # The pipes closed, so every process that held them has ended.
        output = raised.exception.output
        self.assertIsNotNone(output, "a process of the tree still holds its pipes")
        return output

    def talk_to_until_the_run_ends(self):
        limit = windows_programs.RunLimit
        kept = (limit.ends, limit.reserve, limit.seconds)
        windows_programs.limit_run(self.LIMIT)
        try:
            with tempfile.TemporaryFile() as output:
                with windows_programs.started(command(EXITWITH, "hang"), timeout=3 * self.LIMIT,
                                              stdout=output, stderr=subprocess.DEVNULL) as process:
                    # Ended at the run's limit, not the longer one given here.
                    self.assertNotEqual(process.wait(timeout=3 * self.LIMIT), 0)
                output.seek(0)
                return output.read()
        finally:
            limit.ends, limit.reserve, limit.seconds = kept


def main():
    windows_programs.limit_run(RUN_SECONDS)
    stopped = None
    try:
        program = unittest.main(verbosity=2, exit=False)
    except BaseException as error:
        stopped = windows_programs.first_line(error)
        raise
    finally:
        # However the cases went, what they found is kept.
        publish(stopped)
    return 0 if program.result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
