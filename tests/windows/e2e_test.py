#!/usr/bin/env python3
"""End-to-end tests of the real Zendrel.exe, on Windows or under Wine.

   e2e_test.py [CASE... | --stand-in]   (ZENDREL_BUILD: the folder with
                                         Zendrel.exe and tools\\)

CASE is a class, or Class.test; by default every case runs, and --stand-in
runs STAND_IN, those that need the stand-in namespace. The cases keep to
names of the run's own (dos_namespace.py) and expect what the probe or a
helper's own call found. One that needs a capability the platform lacks
skips with the probe's reason; that fails the run with ZENDREL_E2E_NO_SKIPS=1,
and under Wine for a case not in STAND_IN, which would run nowhere. On
Windows any other skip fails the run.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import windows_programs
from dos_namespace import (LONG_NAMES, OLDER, SHORT_NAME, STACKS, TAG, TARGET, Definitions,
                           Facts, LaterFacts, before_zendrel, capability_skip, devdef,
                           end_of_run, fits, free_letter, long_name, start_of_run,
                           take_back_folder, target_of, targets_of)
from windows_programs import BUILD, TOOLS, need

# Another copy of the program can be named, such as one rebased elsewhere.
EXE = os.path.abspath(os.environ.get("ZENDREL_EXE", os.path.join(BUILD, "Zendrel.exe")))

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
run = windows_programs.run


def zendrel_command(command_line):
    """Zendrel.exe with this exact command line."""
    return windows_programs.launched(windows_programs.windows_path(EXE), command_line)


def run_zendrel(command_line, stdin=b"", stdout=subprocess.PIPE):
    """Runs Zendrel.exe with this exact command line; returns (exit code, output)."""
    result = windows_programs.run_command(zendrel_command(command_line), stdin=stdin,
                                          stdout=stdout, timeout=120)
    return result.returncode, result.stdout


def setUpModule():
    start_of_run()


def tearDownModule():
    end_of_run()


class NamespaceCase(unittest.TestCase):
    """Hands out names of this run's own, and at its end removes every
    definition it made that is still listed. Its rows share its names: a row
    that leaves a name defined leaves it for the next."""

    def setUp(self):
        self.definitions = Definitions()
        self.letters = []

    def tearDown(self):
        self.assertEqual(self.definitions.remove_all(), [], "names left defined")

    def letter(self):
        """A drive letter that is undefined now, and this case's to use."""
        letter = free_letter(self.letters)
        self.letters.append(letter)
        return letter

    def define(self, name, target=TARGET):
        code, text = self.definitions.define(name, target)
        self.assertEqual(code, 0, f"defining {name!r}: {text}")

    def zendrel(self, name, command_line, stdin=b"", stdout=subprocess.PIPE):
        """Runs Zendrel.exe on NAME, once it is seen to be the run's: every run
        on a name goes through here, so a drive letter is looked at each time."""
        before_zendrel(name)
        return run_zendrel(command_line, stdin, stdout)

    def assertDefined(self, name, *targets):
        self.assertEqual(targets_of(name), list(targets or (TARGET,)))

    def assertUndefined(self, name):
        self.assertEqual(targets_of(name), [])


class Usage(unittest.TestCase):
    def test_usage_text_byte_for_byte(self):
        for command_line in ["Zendrel.exe", "Zendrel.exe   ", "\"C:\\Program Files\\Zendrel.exe\""]:
            with self.subTest(command_line=command_line):
                self.assertEqual(run_zendrel(command_line, b"y\n"), (1, USAGE))


class NotFound(NamespaceCase):
    def test_undefined_name_exits_two_before_asking(self):
        r = self.letter()
        for name, command_line in [(r, f"Zendrel.exe {r}"), (r, f"Zendrel.exe {r} -y"),
                                   (f"no such name {TAG}", f"Zendrel.exe \"no such name {TAG}\"")]:
            with self.subTest(command_line=command_line):
                self.assertEqual(self.zendrel(name, command_line, b"y\n"), (2, NOT_FOUND))

    def test_300_character_name_is_refused_cleanly(self):
        name = long_name("N", 259)
        self.assertEqual(self.zendrel(name + "N" * 41, f"Zendrel.exe {name}{'N' * 41} -y"),
                         (2, NOT_FOUND))
        # Even when a name made of its first 259 characters exists.
        need(self, LONG_NAMES)
        self.define(name)
        self.assertEqual(self.zendrel(name + "N" * 41, f"Zendrel.exe {name}{'N' * 41}", b"y"),
                         (2, NOT_FOUND))
        self.assertDefined(name)

    def test_empty_name_is_refused_and_every_name_stays(self):
        # Under Wine the empty name resolves to the namespace's own directory,
        # and removing it would take every name with it. C: is there where
        # the system has made it; NUL always is.
        p = self.letter()
        self.define(p)
        names = {name: targets_of(name) for name in ("C:", "NUL", p)}
        self.assertNotEqual(names["NUL"], [])
        for command_line, answer in [("Zendrel.exe \"\" -y", b""), ("Zendrel.exe \"\"", b"y\n")]:
            with self.subTest(command_line=command_line):
                self.assertEqual(self.zendrel("", command_line, answer), (2, NOT_FOUND))
                self.assertEqual({name: targets_of(name) for name in names}, names)
        # New names can still be defined.
        r = self.letter()
        self.define(r)
        self.assertDefined(r)


def asked(name, target=TARGET):
    return f"KernelName of {name} is {target}\nremove? (Y/N)\n".encode("latin-1")


def removed_without_asking(name, target=TARGET):
    return f"KernelName of {name} is {target}\n{name} removed\n".encode("latin-1")


class Answers(NamespaceCase):
    def test_yes_removes(self):
        q = self.letter()
        for answer in [b"y\r\n", b"Y\r\n", b"y", b"yes\n"]:
            with self.subTest(answer=answer):
                self.define(q)
                code, output = self.zendrel(q, f"Zendrel.exe {q}", answer)
                self.assertEqual((code, output), (0, asked(q) + f"{q} removed\n".encode()))
                self.assertUndefined(q)

    def test_anything_else_leaves_the_name(self):
        q = self.letter()
        self.define(q)
        for answer in [b"n\r\n", b"N", b"x\n", b"\r\n", b"\n", b" y\n", b""]:
            with self.subTest(answer=answer):
                self.assertEqual(self.zendrel(q, f"Zendrel.exe {q}", answer), (0, asked(q)))
                self.assertDefined(q)

    def test_rest_of_the_line_stays_for_the_next_reader(self):
        q = SHORT_NAME
        self.define(q)
        read_end, write_end = os.pipe()
        os.write(write_end, b"yREST\n")
        os.close(write_end)
        with os.fdopen(read_end, "rb", buffering=0) as pipe:
            code, output = self.zendrel(q, f"Zendrel.exe {q}", stdin=pipe)
            rest = pipe.read()
        self.assertEqual((code, output), (0, asked(q) + f"{q} removed\n".encode()))
        self.assertEqual(rest, b"REST\n")


class AssumeYes(NamespaceCase):
    def test_switch_forms_skip_the_question(self):
        forms = ["Zendrel.exe {q} -y", "Zendrel.exe {q} -Y", "Zendrel.exe {q} -yes",
                 "Zendrel.exe {q} /x-Y", "Zendrel.exe {q} extra my-yard",
                 "Zendrel.exe \"{q}\" \"-y\"",
                 # Four backslashes before a quote: two stay, the quote opens a section.
                 "Zendrel.exe {q} \\\\\\\\\"-y\"",
                 # An escaped quote in front of the switch.
                 "Zendrel.exe {q} \"\\\"-y\""]
        q = SHORT_NAME
        for form in forms:
            with self.subTest(command_line=form):
                self.define(q)
                self.assertEqual(self.zendrel(q, form.format(q=q), b"n\n"),
                                 (0, removed_without_asking(q)))
                self.assertUndefined(q)

    def test_no_switch_means_a_question(self):
        q = SHORT_NAME
        self.define(q)
        for form in ["Zendrel.exe {q} \"-\\\"y\"", "Zendrel.exe {q} -n y", "-y {q}"]:
            with self.subTest(command_line=form):
                code, output = self.zendrel(q, form.format(q=q), b"n\n")
                self.assertEqual(code, 0)
                self.assertTrue(output.endswith(b"remove? (Y/N)\n"), output)
                self.assertDefined(q)


class Quoting(NamespaceCase):
    def test_quoted_names_reach_the_command_intact(self):
        cases = [
            ("Zendrel.exe \"My Device{t}\"", "My Device{t}"),
            ("Zendrel.exe \"My \\\"Quoted\\\" Device{t}\"", "My \"Quoted\" Device{t}"),
            ("Zendrel.exe My\" \"Dev{t}", "My Dev{t}"),
            # The doubled quote gives one quote and closes the section; the
            # last quote opens a new one that runs to the end.
            ("Zendrel.exe \"a\"\"b\" c{t}", "a\"b c{t}"),
            ("Zendrel.exe\t\"tab\tname{t}\"", "tab\tname{t}"),
            ("Zendrel.exe Odd\\\"Quote{t}", "Odd\"Quote{t}"),
        ]
        for form, name in cases:
            command_line, name = form.format(t=TAG), name.format(t=TAG)
            with self.subTest(command_line=command_line):
                self.define(name)
                self.assertEqual(self.zendrel(name, command_line, b"n\n"), (0, asked(name)))
                self.assertDefined(name)


def read_until(pipe, until):
    """What PIPE delivers up to UNTIL; its end first, the program ended or its
    time up, is a failure."""
    output = b""
    while not output.endswith(until):
        chunk = os.read(pipe.fileno(), 4096)
        if not chunk:
            raise AssertionError(f"output ended, or its time ran out, after {output!r}")
        output += chunk
    return output


class RefusedRemoval(NamespaceCase):
    def test_name_gone_before_the_answer_gives_the_platform_answer(self):
        # A name nobody else would use: it is undefined when Zendrel.exe
        # removes it, and on Windows a removal of an undefined name may
        # succeed, so a drive letter taken meanwhile would be removed.
        name = SHORT_NAME
        self.define(name)
        # Ended at its time limit, within the run's, so every wait on it ends.
        with windows_programs.started(zendrel_command(f"Zendrel.exe {name}"), timeout=180,
                                      stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                      stderr=subprocess.DEVNULL) as process:
            output = read_until(process.stdout, b"remove? (Y/N)")
            self.assertEqual(devdef("remove", name, TARGET)[0], 0)
            process.stdin.write(b"y\n")
            process.stdin.close()
            output += process.stdout.read()
            code = process.wait()
        # What the platform gave the probe's removal of an undefined name.
        answer = Facts.undefined_removal
        if answer == "ok":
            expected = (0, asked(name) + f"{name} removed\n".encode())
        elif answer is not None and answer.startswith("err"):
            expected = (3, asked(name) + f"{name} not removed, err={answer[3:]}".encode())
        else:
            self.fail("the probe did not learn what a removal of an undefined name gives")
        self.assertEqual((code, output), expected)
        self.assertUndefined(name)


class RefusedOutput(NamespaceCase):
    def test_output_that_refuses_writes_changes_nothing_else(self):
        q = SHORT_NAME
        self.define(q)
        handle, path = tempfile.mkstemp()
        os.close(handle)
        try:
            with open(path, "rb") as read_only:
                code, _ = self.zendrel(q, f"Zendrel.exe {q} -y", stdout=read_only)
        finally:
            os.remove(path)
        self.assertEqual(code, 0)
        self.assertUndefined(q)
        r = self.letter()
        code, _ = self.zendrel(r, f"Zendrel.exe {r}", stdout=subprocess.DEVNULL)
        self.assertEqual(code, 2)


def still_there(name):
    return (f"KernelName of {name} is {TARGET}\nremoval of {name} reported as ok, "
            "but it is still there\n").encode("latin-1")


def uncovered(name, newer, older):
    return (f"KernelName of {name} is {newer}\nremoval of {name} reported as ok, "
            f"but it points now to {older}\n").encode("latin-1")


class Stacking(NamespaceCase):
    def test_same_target_twice_is_removed_once_and_still_there(self):
        need(self, STACKS)
        q = SHORT_NAME
        self.define(q)
        self.define(q)
        self.assertEqual(self.zendrel(q, f"Zendrel.exe {q} -y"), (4, still_there(q)))
        self.assertDefined(q)

    def test_removing_the_newer_target_uncovers_the_older(self):
        need(self, STACKS)
        q = SHORT_NAME
        self.define(q, OLDER)
        self.define(q, TARGET)
        self.assertEqual(self.zendrel(q, f"Zendrel.exe {q} -y"), (5, uncovered(q, TARGET, OLDER)))
        self.assertDefined(q, OLDER)

    def test_target_lists_on_both_sides_of_the_longest_that_fits(self):
        # How long a list may be differs by platform (terminators, stacking),
        # so the rows sit on both sides of the edge the probe found, and each
        # expects what the platform's own QueryDosDeviceA with room for 520
        # says of that list. Rows: the targets' lengths, the oldest first.
        q = SHORT_NAME
        one, two = Facts.longest[1], Facts.longest[2]
        rows = [(one,), (one + 1,)]
        rows += [(300, two - 300), (300, two - 299)] if two is not None else [(300, None)]
        for lengths in rows:
            with self.subTest(targets=lengths):
                if None in lengths:
                    need(self, STACKS)
                try:
                    self.list_of(q, lengths)
                finally:
                    # The next row starts from an undefined name.
                    self.definitions.remove()

    def list_of(self, q, lengths):
        targets = [target_of(length) for length in lengths]
        for target in targets:
            self.define(q, target)
        newest_first = targets[::-1]
        handed_out = fits(q)
        self.assertEqual(handed_out, sum(lengths) <= Facts.longest[len(lengths)],
                         "the probe's edge does not hold for this list")
        code, output = self.zendrel(q, f"Zendrel.exe {q} -y")
        if not handed_out:
            self.assertEqual((code, output), (2, NOT_FOUND))
            self.assertDefined(q, *newest_first)
        elif len(targets) == 1:
            self.assertEqual((code, output), (0, removed_without_asking(q, targets[0])))
            self.assertUndefined(q)
        else:
            self.assertEqual((code, output), (5, uncovered(q, *newest_first)))
            self.assertDefined(q, *newest_first[1:])


class CleanUp(NamespaceCase):
    """The clean-up removes the run's own definitions and never another's: the
    case's own, and the folder that the subst case's drive names. What the
    case makes in others' stead is kept apart from its definitions, and goes
    at its end, the newest first, whatever failed."""

    def setUp(self):
        super().setUp()
        self.theirs = Definitions()

    def tearDown(self):
        self.assertEqual(self.theirs.remove_all(), [], "names left defined")
        super().tearDown()

    def test_a_definition_made_by_someone_else_stays(self):
        stranger = f"\\Device\\ZendrelStranger{TAG}"
        folder = os.path.join(tempfile.gettempdir(), f"zendrel-{TAG}-clean-up")
        q = self.letter()
        for clean_up in ["the case's", "the subst case's"]:
            for row in ["on top of the run's", "in place of the run's, removed meanwhile"]:
                with self.subTest(clean_up=clean_up, stranger=row):
                    on_top = row.startswith("on top")
                    if on_top:
                        need(self, STACKS)
                    if clean_up == "the case's":
                        own = TARGET
                        self.define(q)
                    else:
                        # As subst makes it, not through the case's definitions.
                        own = "\\??\\" + windows_programs.windows_path(folder)
                        self.assertEqual(self.theirs.define(q, own)[0], 0)
                    if not on_top:
                        self.assertEqual(devdef("remove", q, own)[0], 0)
                    self.assertEqual(self.theirs.define(q, stranger)[0], 0)
                    # The run's own definition, if it still holds one, and no other goes.
                    if clean_up == "the case's":
                        self.assertEqual(self.definitions.remove_all(), [q])
                    else:
                        self.assertEqual(take_back_folder(q, folder), [stranger])
                    self.assertDefined(q, stranger)
                    self.assertEqual(self.theirs.remove_all(), [])
                    self.assertUndefined(q)


class LongNames(NamespaceCase):
    def test_port_style_name_is_removed(self):
        need(self, LONG_NAMES)
        name = f"COM{os.getpid()}"
        for command_line, answer, output in [
                (f"Zendrel.exe {name} -y", b"", removed_without_asking(name)),
                (f"Zendrel.exe {name}", b"y\r\n", asked(name) + f"{name} removed\n".encode())]:
            with self.subTest(command_line=command_line):
                self.define(name)
                self.assertEqual(self.zendrel(name, command_line, answer), (0, output))
                self.assertUndefined(name)

    def test_259_character_name_is_removed(self):
        need(self, LONG_NAMES)
        name = long_name("Zendrel", 259)
        self.define(name)
        self.assertEqual(self.zendrel(name, f"Zendrel.exe {name} -y"),
                         (0, removed_without_asking(name)))
        self.assertUndefined(name)


class Executable(unittest.TestCase):
    def test_version_record(self):
        result = run(os.path.join(TOOLS, "verinfo.exe"), windows_programs.windows_path(EXE))
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


class Subst(NamespaceCase):
    def test_a_subst_drive_is_removed(self):
        letter = self.letter()
        folder = tempfile.mkdtemp(prefix=f"zendrel-{TAG}-")
        try:
            try:
                self.remove_a_subst_drive(letter, folder)
            finally:
                # Whatever happened: the run's folder goes, anyone else's stays.
                left_to_others = take_back_folder(letter, folder)
                if left_to_others:
                    LaterFacts.subst_letter_left_to = left_to_others
                    print(f"{letter} lists targets that are not the run's, left there: "
                          f"{left_to_others}", flush=True)
        finally:
            shutil.rmtree(folder, ignore_errors=True)
        self.assertEqual(left_to_others, [], f"{letter} lists targets that are not the run's")

    def remove_a_subst_drive(self, letter, folder):
        made = run("subst", letter, windows_programs.windows_path(folder))
        # The target as the platform gives it, not as this case would guess.
        targets = targets_of(letter)
        if not targets and not windows_programs.ON_WINDOWS:
            LaterFacts.subst = "defines-nothing"
            self.skipTest(WINE_SUBST)
        self.assertEqual(len(targets), 1, f"subst: exit {made.returncode}, "
                         f"{made.stdout!r} {made.stderr!r}")
        code, output = self.zendrel(letter, f"Zendrel.exe {letter} -y")
        LaterFacts.subst = f"zendrel-exit{code}"
        self.assertEqual((code, output), (0, removed_without_asking(letter, targets[0])))
        self.assertUndefined(letter)
        listed = run("subst").stdout.decode("latin-1").upper()
        self.assertNotIn(f"{letter}\\:", listed)
        LaterFacts.subst = "removed"


WINE_SUBST = "Wine's subst is a stub that defines nothing"
# The cases that need what Wine lacks, or show answers only the stand-in
# gives (RefusedRemoval's removal-of-undefined=ok): e2e_stacked runs them.
STAND_IN = ["Stacking", "LongNames", "CleanUp", "RefusedRemoval",
            "NotFound.test_300_character_name_is_refused_cleanly"]


def main():
    runner = unittest.TextTestRunner(verbosity=2)
    module = sys.modules[__name__]
    loader = unittest.defaultTestLoader
    names = STAND_IN if sys.argv[1:] == ["--stand-in"] else sys.argv[1:]
    cases = loader.loadTestsFromNames(names, module) if names else loader.loadTestsFromModule(module)
    try:
        result = runner.run(cases)
    except BaseException as error:
        LaterFacts.stopped = f"the cases: {windows_programs.first_line(error)}"
        raise
    finally:
        if Facts.stopped and not LaterFacts.stopped:
            LaterFacts.stopped = "the probe stopped, so no case ran"
        LaterFacts.publish()
    # A failing subtest is reported on its own; count each test once.
    failed = {getattr(test, "test_case", test).id() for test, _ in result.failures + result.errors}
    print(f"{result.testsRun} cases run, {len(failed)} failed; {len(result.skipped)} skipped "
          "(cases or subtests)")
    skips = [(getattr(test, "test_case", test).id().removeprefix(f"{__name__}."), reason,
              capability_skip(reason)) for test, reason in result.skipped]
    missing = [(test, reason) for test, reason, capability in skips if capability]
    nowhere = sorted({test for test, _ in missing
                      if not any(test == case or test.startswith(case + ".") for case in STAND_IN)})
    unexpected = [f"{test}: {reason}" for test, reason, capability in skips if not capability]
    for failing, why in [
            (missing and os.environ.get("ZENDREL_E2E_NO_SKIPS") == "1",
             f"ZENDREL_E2E_NO_SKIPS=1, and cases were skipped: {missing}"),
            (nowhere and not windows_programs.ON_WINDOWS,
             f"cases skipped for what Wine lacks are not in STAND_IN, so they run nowhere: "
             f"{nowhere}"),
            (unexpected and windows_programs.ON_WINDOWS,
             "on Windows a case may skip only for a capability the facts line reports missing; "
             f"skipped: {unexpected}")]:
        if failing:
            print(f"FAIL: {why}")
            return 1
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
