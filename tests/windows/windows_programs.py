"""How the tests start a Windows program: as itself on Windows, through Wine
elsewhere, and where they are. Every test that runs one builds its command line
here, and every program a test starts ends here, with everything it started,
when its time is up:

- On Windows the program starts suspended in a job object of its own that
  ends every process in it when the job is closed; it is resumed only once it
  is in the job, so nothing it starts escapes.
- Elsewhere it starts as the leader of a process group of its own, and Wine's
  processes for whatever it starts stay in that group.
- After a tree is ended, its pipes get a bounded time to close; nothing waits
  without a limit.
- A test may set a limit for its whole run (limit_run): each program then gets
  at most what is left of it, and the clean-up a reserve of its own, so the
  run ends, and says why, before the step or ctest that runs it gives up. A
  program a test talks to comes with a deadline for every wait on it, within
  that limit too.
"""

import contextlib
import os
import signal
import subprocess
import time

ON_WINDOWS = os.name == "nt"
# The folder with the programs under test and their helpers in tools/: the
# Linux build's, or the CI artifact unpacked on Windows.
BUILD = os.path.abspath(os.environ.get(
    "ZENDREL_BUILD",
    os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "build", "windows")))
TOOLS = os.path.join(BUILD, "tools")
# How long an ended tree's pipes may take to close.
REAP_SECONDS = 10


def command(program, *arguments):
    """The command that runs PROGRAM with ARGUMENTS on this machine."""
    if ON_WINDOWS:
        return [program, *arguments]
    return ["wine", program, *arguments]


def publish(facts):
    """Prints a facts line, and adds it to a CI runner's job summary."""
    print(facts, flush=True)
    summary = os.environ.get("GITHUB_STEP_SUMMARY")
    if summary:
        with open(summary, "a", encoding="utf-8") as file:
            file.write(f"`{facts}`\n\n")


def first_line(error):
    """An error as a facts line tells why a run stopped."""
    return str(error).splitlines()[0] if str(error) else repr(error)


def windows_path(path):
    """An absolute path as a Windows program sees it: Wine shows / as Z:."""
    if ON_WINDOWS:
        return path
    return "Z:" + path.replace("/", "\\")


class RunLimit:
    """The whole run's limit: when the cases' programs must have ended, and how
    much longer the clean-up's may take."""
    ends = None
    reserve = 0
    seconds = None


def limit_run(seconds, reserve=0):
    RunLimit.ends = time.monotonic() + seconds
    RunLimit.reserve = reserve
    RunLimit.seconds = seconds


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


if ON_WINDOWS:
    import ctypes
    from ctypes import wintypes

    KERNEL32 = ctypes.WinDLL("kernel32", use_last_error=True)
    CREATE_SUSPENDED = 0x4
    JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE = 0x2000
    JOB_OBJECT_EXTENDED_LIMIT_INFORMATION_CLASS = 9
    PROCESS_SET_QUOTA, PROCESS_TERMINATE = 0x0100, 0x0001
    THREAD_SUSPEND_RESUME = 0x0002
    TH32CS_SNAPTHREAD = 0x4
    INVALID_HANDLE_VALUE = wintypes.HANDLE(-1).value

    class BasicLimits(ctypes.Structure):
        _fields_ = [("PerProcessUserTimeLimit", ctypes.c_longlong),
                    ("PerJobUserTimeLimit", ctypes.c_longlong),
                    ("LimitFlags", wintypes.DWORD),
                    ("MinimumWorkingSetSize", ctypes.c_size_t),
                    ("MaximumWorkingSetSize", ctypes.c_size_t),
                    ("ActiveProcessLimit", wintypes.DWORD),
                    ("Affinity", ctypes.c_size_t),
                    ("PriorityClass", wintypes.DWORD),
                    ("SchedulingClass", wintypes.DWORD)]

    class ExtendedLimits(ctypes.Structure):
        _fields_ = [("BasicLimitInformation", BasicLimits),
                    ("IoInfo", ctypes.c_ulonglong * 6),
                    ("ProcessMemoryLimit", ctypes.c_size_t),
                    ("JobMemoryLimit", ctypes.c_size_t),
                    ("PeakProcessMemoryUsed", ctypes.c_size_t),
                    ("PeakJobMemoryUsed", ctypes.c_size_t)]

    class ThreadEntry(ctypes.Structure):
        _fields_ = [("dwSize", wintypes.DWORD), ("cntUsage", wintypes.DWORD),
                    ("th32ThreadID", wintypes.DWORD), ("th32OwnerProcessID", wintypes.DWORD),
                    ("tpBasePri", wintypes.LONG), ("tpDeltaPri", wintypes.LONG),
                    ("dwFlags", wintypes.DWORD)]

    for name, result, parameters in [
            ("CreateJobObjectW", wintypes.HANDLE, [ctypes.c_void_p, wintypes.LPCWSTR]),
            ("SetInformationJobObject", wintypes.BOOL,
             [wintypes.HANDLE, ctypes.c_int, ctypes.c_void_p, wintypes.DWORD]),
            ("OpenProcess", wintypes.HANDLE, [wintypes.DWORD, wintypes.BOOL, wintypes.DWORD]),
            ("AssignProcessToJobObject", wintypes.BOOL, [wintypes.HANDLE, wintypes.HANDLE]),
            ("TerminateJobObject", wintypes.BOOL, [wintypes.HANDLE, wintypes.UINT]),
            ("CreateToolhelp32Snapshot", wintypes.HANDLE, [wintypes.DWORD, wintypes.DWORD]),
            ("Thread32First", wintypes.BOOL, [wintypes.HANDLE, ctypes.POINTER(ThreadEntry)]),
            ("Thread32Next", wintypes.BOOL, [wintypes.HANDLE, ctypes.POINTER(ThreadEntry)]),
            ("OpenThread", wintypes.HANDLE, [wintypes.DWORD, wintypes.BOOL, wintypes.DWORD]),
            ("ResumeThread", wintypes.DWORD, [wintypes.HANDLE]),
            ("CloseHandle", wintypes.BOOL, [wintypes.HANDLE])]:
        function = getattr(KERNEL32, name)
        function.restype, function.argtypes = result, parameters

    def checked(value, what):
        if not value or value == INVALID_HANDLE_VALUE:
            raise ctypes.WinError(ctypes.get_last_error(), f"{what} failed")
        return value

    def new_job():
        """A job that ends every process in it when its handle is closed."""
        job = checked(KERNEL32.CreateJobObjectW(None, None), "CreateJobObjectW")
        limits = ExtendedLimits()
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE
        if not KERNEL32.SetInformationJobObject(job, JOB_OBJECT_EXTENDED_LIMIT_INFORMATION_CLASS,
                                                ctypes.byref(limits), ctypes.sizeof(limits)):
            error = ctypes.get_last_error()
            KERNEL32.CloseHandle(job)
            raise ctypes.WinError(error, "SetInformationJobObject failed")
        return job

    def enter_job_and_resume(job, pid):
        process = checked(KERNEL32.OpenProcess(PROCESS_SET_QUOTA | PROCESS_TERMINATE, False, pid),
                          "OpenProcess")
        try:
            checked(KERNEL32.AssignProcessToJobObject(job, process), "AssignProcessToJobObject")
        finally:
            KERNEL32.CloseHandle(process)
        # The process was made suspended: its one thread resumes now.
        snapshot = checked(KERNEL32.CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0),
                           "CreateToolhelp32Snapshot")
        try:
            entry = ThreadEntry(dwSize=ctypes.sizeof(ThreadEntry))
            more = KERNEL32.Thread32First(snapshot, ctypes.byref(entry))
            while more:
                if entry.th32OwnerProcessID == pid:
                    thread = checked(KERNEL32.OpenThread(THREAD_SUSPEND_RESUME, False,
                                                         entry.th32ThreadID), "OpenThread")
                    resumed = KERNEL32.ResumeThread(thread)
                    KERNEL32.CloseHandle(thread)
                    if resumed == 0xFFFFFFFF:
                        raise ctypes.WinError(ctypes.get_last_error(), "ResumeThread failed")
                more = KERNEL32.Thread32Next(snapshot, ctypes.byref(entry))
        finally:
            KERNEL32.CloseHandle(snapshot)


class Tree:
    """A started program and everything it starts."""

    def __init__(self, command_line, **popen):
        self.job = None
        if not ON_WINDOWS:
            self.process = subprocess.Popen(command_line, start_new_session=True, **popen)
            return
        self.job = new_job()
        try:
            self.process = subprocess.Popen(command_line, creationflags=CREATE_SUSPENDED, **popen)
        except BaseException:
            KERNEL32.CloseHandle(self.job)
            raise
        try:
            enter_job_and_resume(self.job, self.process.pid)
        except BaseException:
            # It may not be in the job: it is ended by itself too.
            self.process.kill()
            self.end()
            raise

    def end(self):
        """Ends every process of the tree; the job goes with its last handle."""
        if self.job is not None:
            KERNEL32.TerminateJobObject(self.job, 1)
            KERNEL32.CloseHandle(self.job)
            self.job = None
        elif self.process.returncode is None:
            # Not yet reaped, so the group's number is still this tree's.
            with contextlib.suppress(ProcessLookupError):
                os.killpg(self.process.pid, signal.SIGKILL)

    def close(self):
        """After a normal end: on Windows, what the program left running ends too."""
        if self.job is not None:
            KERNEL32.CloseHandle(self.job)
            self.job = None


class Deadline:
    """When every wait on a started program must be over."""

    def __init__(self, seconds):
        self.ends = time.monotonic() + seconds

    def left(self):
        return max(0.0, self.ends - time.monotonic())


@contextlib.contextmanager
def started(program, *arguments, timeout=90, **popen):
    """PROGRAM running, for a test that talks to it, and the Deadline for
    every wait on it: TIMEOUT from now, or the end of the run's limit if that
    comes first. Its tree ends with the block."""
    command_line = command(program, *arguments)
    deadline = Deadline(time_allowed(command_line, timeout, clean_up=False))
    tree = Tree(command_line, **popen)
    try:
        yield tree.process, deadline
    finally:
        tree.end()
        with contextlib.suppress(subprocess.TimeoutExpired):
            tree.process.wait(timeout=REAP_SECONDS)


def run_once(command_line, stdin, stdout, timeout, clean_up):
    allowed = time_allowed(command_line, timeout, clean_up)
    feed = {"stdin": subprocess.PIPE} if isinstance(stdin, bytes) else {"stdin": stdin}
    tree = Tree(command_line, stdout=stdout, stderr=subprocess.PIPE, **feed)
    given = stdin if isinstance(stdin, bytes) else None
    try:
        output, errors = tree.process.communicate(given, timeout=allowed)
    except subprocess.TimeoutExpired:
        tree.end()
        try:
            output, errors = tree.process.communicate(timeout=REAP_SECONDS)
        except subprocess.TimeoutExpired:
            # Someone outside the tree holds a pipe: give up on what it holds.
            output = errors = None
        raise subprocess.TimeoutExpired(command_line, allowed, output, errors) from None
    finally:
        tree.close()
    return subprocess.CompletedProcess(command_line, tree.process.returncode, output, errors)


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
    """Runs a Windows program; the options are run_command's."""
    return run_command(command(program, *arguments), **options)
