"""How the tests start a Windows program: through launch.exe, which ends
it with all it started when launch.exe is killed at its time limit (where
it has no job, the program alone: JOB says which, and job= on the facts
lines). No wait is without a limit. A test may limit its whole run
(limit_run): each program gets what is left, the clean-up a reserve beyond
it, so the run ends, and says why, before the step or ctest gives up.
"""

import contextlib
import os
import re
import shutil
import subprocess
import sys
import threading
import time

ON_WINDOWS = os.name == "nt"
# The folder with the programs under test and their helpers in tools/: the
# Linux build's, or the CI artifact unpacked on Windows.
BUILD = os.path.abspath(os.environ.get(
    "ZENDREL_BUILD",
    os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "build", "windows")))
TOOLS = os.path.join(BUILD, "tools")
LAUNCH = os.path.join(TOOLS, "launch.exe")
# How long an ended tree's pipes may take to close.
REAP_SECONDS = 10


def windows_path(path):
    """An absolute path as a Windows program sees it: Wine shows / as Z:."""
    if ON_WINDOWS:
        return path
    return "Z:" + path.replace("/", "\\")


def native(application):
    """APPLICATION as launch.exe, a 32-bit program, must name it to start the
    system's own: WoW64 redirects System32 and its subfolders for it to the
    32-bit programs, and Sysnative is the alias of the native folder."""
    system32 = os.path.join(os.environ.get("SystemRoot", "C:\\Windows"), "System32")
    prefix = os.path.normcase(system32 + os.sep)
    if sys.maxsize > 2**32 and os.path.normcase(application).startswith(prefix):
        inside = application[len(prefix):]
        return os.path.join(os.path.dirname(system32), "Sysnative", inside)
    return application


def launched(application, command_line):
    """The command that runs APPLICATION, a path as Windows sees it (None: the
    program the command line names first, found as CreateProcessA finds it),
    with this exact COMMAND_LINE, through launch.exe."""
    if isinstance(command_line, str):
        command_line = command_line.encode("latin-1")
    if not ON_WINDOWS:
        return ["wine", LAUNCH, application or "-", command_line.hex()]
    return [LAUNCH, native(application) if application else "-", command_line.hex()]


def command(program, *arguments):
    """The command that runs PROGRAM, a path here or a name the system finds,
    with ARGUMENTS quoted as the C runtime splits them."""
    if os.path.isabs(program):
        application = windows_path(program)
    else:
        application = shutil.which(program) if ON_WINDOWS else None
    return launched(application, subprocess.list2cmdline([application or program, *arguments]))


def as_word(value):
    if isinstance(value, bool):
        return "yes" if value else "no"
    return "unknown" if value is None else str(value)


def publish(title, fields, stopped=None):
    """Prints a facts line, TITLE: KEY=VALUE..., and why the run stopped if it
    did; adds it to a CI runner's job summary."""
    facts = f"{title}: " + " ".join(f"{key}={as_word(value)}" for key, value in fields.items())
    facts += f" stopped: {stopped}" if stopped else ""
    print(facts, flush=True)
    summary = os.environ.get("GITHUB_STEP_SUMMARY")
    if summary:
        with open(summary, "a", encoding="utf-8") as file:
            file.write(f"`{facts}`\n\n")


def first_line(error):
    """An error as a facts line tells why a run stopped."""
    return str(error).splitlines()[0] if str(error) else repr(error)


class RunLimit:
    """The whole run's limit: when the cases' programs must have ended, and how
    much longer the clean-up's may take."""
    ends = seconds = None
    reserve = 0


def limit_run(seconds, reserve=0):
    RunLimit.ends, RunLimit.reserve, RunLimit.seconds = time.monotonic() + seconds, reserve, seconds


class RunTimeSpent(subprocess.TimeoutExpired):
    def __str__(self):
        return (f"the run's limit of {RunLimit.seconds} s is spent; "
                f"{' '.join(self.cmd)} was not started")


def time_allowed(command_line, timeout, clean_up):
    if RunLimit.ends is None:
        return timeout
    left = RunLimit.ends + (RunLimit.reserve if clean_up else 0) - time.monotonic()
    if left <= 0:
        raise RunTimeSpent(command_line, 0)
    return min(timeout, left)


def end(process):
    """Ends a started program, and with launch.exe all it started."""
    process.kill()
    with contextlib.suppress(subprocess.TimeoutExpired):
        process.wait(timeout=REAP_SECONDS)


@contextlib.contextmanager
def started(command_line, timeout=90, **popen):
    """COMMAND_LINE running, for a test that talks to it: ended with all it
    started TIMEOUT from now, or at the end of the run's limit if that comes
    first, so every wait on it ends then; and ended with the block."""
    allowed = time_allowed(command_line, timeout, clean_up=False)
    process = subprocess.Popen(command_line, **popen)
    timer = threading.Timer(allowed, end, [process])
    timer.start()
    try:
        yield process
    finally:
        timer.cancel()
        end(process)


# launch.exe's answers: "yes", its program is in a job, or "errN", it is not.
JOBS = set()


def note_job(errors):
    found = re.search(rb"launch: no job, err=(\d+)", errors or b"")
    if found:
        JOBS.add(f"err{found[1].decode()}")
    elif b"launch: exit code" in (errors or b""):
        JOBS.add("yes")


def jobs():
    return ",".join(sorted(JOBS)) or None


def run_once(command_line, stdin, stdout, timeout, clean_up):
    allowed = time_allowed(command_line, timeout, clean_up)
    given = stdin if isinstance(stdin, bytes) else None
    process = subprocess.Popen(command_line, stdin=subprocess.PIPE if given is not None else stdin,
                               stdout=stdout, stderr=subprocess.PIPE)
    try:
        output, errors = process.communicate(given, timeout=allowed)
    except subprocess.TimeoutExpired:
        process.kill()
        try:
            output, errors = process.communicate(timeout=REAP_SECONDS)
        except subprocess.TimeoutExpired:
            # Someone outside the tree holds a pipe: give up on what it holds.
            output = errors = None
        note_job(errors)
        raise subprocess.TimeoutExpired(command_line, allowed, output, errors) from None
    except BaseException:
        end(process)
        raise
    note_job(errors)
    return subprocess.CompletedProcess(command_line, process.returncode, output, errors)


def run_command(command_line, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, timeout=90,
                changes_nothing=False, clean_up=False):
    """Runs COMMAND_LINE; stdin is bytes to feed it or a file. Bytes are written
    before the timed wait begins on Windows, so much input goes in a file.
    Under emulation a Wine start now and then stalls before the program runs
    at all: a run that CHANGES_NOTHING is asked once more after a time-out,
    from the start of a file it reads. A CLEAN_UP run may use the run's
    reserve."""
    try:
        return run_once(command_line, stdin, stdout, timeout, clean_up)
    except RunTimeSpent:
        raise
    except subprocess.TimeoutExpired:
        if not changes_nothing:
            raise
        if hasattr(stdin, "seekable") and stdin.seekable():
            stdin.seek(0)
        return run_once(command_line, stdin, stdout, timeout, clean_up)


def run(program, *arguments, **options):
    """Runs a Windows program through launch.exe; the options are run_command's."""
    return run_command(command(program, *arguments), **options)


class Capability:
    """What the platform may lack: its WORD on the facts line (its value FACT()
    where it says more than yes or no), the STEP the run is at while PROBE
    learns it, with the Definitions it may use, and returns why it is
    missing, or None. A case that needs it skips where it is missing."""

    def __init__(self, word, step, probe, fact=None):
        self.word, self.step, self.probe = word, step, probe
        self.fact = fact or (lambda: self.present)
        self.present, self.why_missing = None, "it was not probed"

    def learn(self, definitions=None):
        self.why_missing = self.probe(definitions)
        self.present = self.why_missing is None

    def skip_reason(self):
        return f"the platform lacks {self.word}: {self.why_missing}"


def need(case, capability):
    if not capability.present:
        case.skipTest(capability.skip_reason())


def probe_job(_definitions):
    if not JOBS:
        run("cmd", "/c", "rem", changes_nothing=True)
    failed = ", ".join(sorted(JOBS - {"yes"}))
    return (failed and f"launch.exe could not put a program in a job ({failed}), so a time "
            "limit ends the program it started and nothing that program started") or None


JOB = Capability("job", "starting a program in a job", probe_job, fact=jobs)
