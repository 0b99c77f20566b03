"""The DOS-device namespace as the end-to-end run uses it: what the platform
does (the probe and its facts line), the definitions the run makes, their
clean-up, and the check at the end of the run. The rules that make the run
safe on a real machine are all here:

- Every target the run defines carries its mark (TAG, with this process's
  id), so no definition of anyone else's looks like one of the run's.
- A name is the run's to use when it is undefined as the run takes it: a
  drive letter found free, or a name carrying the process id. It is checked
  to be undefined before its first definition, and only a look-up that fails
  with error 2 means undefined: any other failure stops the run.
- A name that must be undefined when something removes it carries the
  process id (SHORT_NAME, short enough for Wine's removal), never a drive
  letter, which a USB drive or a service's subst may take at any time.
- The clean-up removes only what the run defined and has not seen removed,
  each with DDD_EXACT_MATCH_ON_REMOVE and its own target, and devdef asks for
  such a removal only once it has just seen that target in the name's list,
  so it can never remove someone else's definition. Wine ignores the target
  of a removal; there the target must be the newest.
- Zendrel.exe itself removes the newest definition of the name it is given,
  whoever made it. Where that name is a drive letter, the case looks at the
  list just before and stops if it holds anything but the run's targets.
- The run refuses to start as LocalSystem, whose definitions are global and
  seen by every session, and where the system reports per-session device
  maps off, which makes every definition global; and unless a look-up of NUL
  succeeds.
- At the end none of the run's targets may be left under any name it used,
  in the session or global, and every name it used must list, the run's own
  targets left out, exactly what it listed at the start. Under Wine, every
  other name must be as it was at the start; on Windows, where volumes,
  devices and network drives come and go, a change there is reported, not
  failed.

The probe prints one line (and, on a CI runner, adds it to the job summary),
also when it stops part-way, with what it learnt and where it stopped:

  namespace: stacks=yes|no long-names=yes|no removal-of-undefined=ok|errN
             one-target-in-520=N two-targets-in-520=N elevated=yes|no
             device-maps=per-session|shared (as reported) [stopped: STEP: WHY]

stacks: a second definition of a name is pushed on the first. long-names: the
platform's removal handles a name of 259 characters. removal-of-undefined:
what a removal with no target of a name nobody holds gives. one-target-in-520
and two-targets-in-520: the most characters of targets, in one definition and
in two stacked ones, whose list QueryDosDeviceA hands out with room for 520.
device-maps: what the system answers when asked whether this process's
DOS-device names are its logon session's own, taken as reported: the answer
is said to be one setting of the whole system, not a measurement of this
process. A fact the probe could not learn is "unknown".

What the cases learn after it goes on a second line at the end of the run,
also when the run stops part-way:

  namespace after the cases: past-520=errN subst=OUTCOME
             unmade-names-changed=none|[(NAME, BEFORE, AFTER), ...]
             [subst-letter-left-to=TARGETS] [stopped: STEP: WHY]

past-520: the errors QueryDosDeviceA gave, with room for 520, for the lists
just past the longest that fits. subst: what became of the subst drive
(removed, defines-nothing, zendrel-exitN where Zendrel.exe gave N and a
check after it failed). unmade-names-changed: the names the run did not make
whose lists changed during it.
"""

import contextlib
import os
import re
import subprocess

import windows_programs

# The run's mark, in every target it defines and in the names it makes up.
TAG = f"Z{os.getpid()}"
TARGET = f"\\Device\\ZendrelTest{TAG}"
OLDER = f"\\Device\\ZendrelOlder{TAG}"
# Drive letters the run may take, when they are undefined.
LETTERS = [f"{letter}:" for letter in "QRPSOTNUMVLWKXJYIHGFE"]
# Zendrel.exe asks for a target list with room for this many characters.
LIST_CAPACITY = 520
# How long a probe of the platform's removal may take. A removal ends at
# once; one that overruns its stack can spin instead of crashing.
PROBE_SECONDS = 20


def base36(number):
    digits = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"
    text = ""
    while True:
        number, digit = divmod(number, 36)
        text = digits[digit] + text
        if number == 0:
            return text


# Six characters for any Linux process id: Wine's removal overruns a buffer
# of two characters, which names of up to six survive.
SHORT_NAME = "Z" + base36(os.getpid()).rjust(5, "0")


# The whole run's limit, within ctest's and the CI step's, and the reserve
# after it for the clean-up and the end check.
RUN_SECONDS = 720
CLEAN_UP_SECONDS = 90

# The devdef commands that change nothing, and those of the clean-up.
LOOKS = {"query", "capacity", "marked", "system", "device-maps", "elevated", "list"}
CLEAN_UP = {"remove", "marked", "list"}
# devdef's exit codes.
DONE, REFUSED, NOT_DONE = 0, 1, 3


def devdef(*arguments, timeout=90):
    program = os.path.join(windows_programs.TOOLS, "devdef.exe")
    result = windows_programs.run(program, *arguments, timeout=timeout,
                                  changes_nothing=arguments[0] in LOOKS,
                                  clean_up=arguments[0] in CLEAN_UP)
    return result.returncode, result.stdout.decode("latin-1").replace("\r\n", "\n")


def targets_of(name):
    """NAME's list, the newest first; empty where it is undefined, which only
    error 2 means."""
    code, text = devdef("query", name)
    if code not in (DONE, REFUSED):
        raise AssertionError(f"{name!r} cannot be looked up, so whether it is in use is not "
                             f"known: {text.strip()}")
    return text.splitlines() if code == DONE else []


def defined(name):
    return bool(targets_of(name))


# The errors of a list that does not fit. The QueryDosDevice page names
# ERROR_INSUFFICIENT_BUFFER; as Windows is modelled, QueryDosDeviceA converts
# the wide list, and where that list fills the room exactly the conversion
# fails with ERROR_MORE_DATA instead. Which one a platform gives is a fact of
# the run, not an expectation.
NOT_FITTING = {122, 234}


def fits(name):
    """Whether the platform's QueryDosDeviceA hands out NAME's list with room
    for 520 characters; notes the error of a list that does not fit."""
    code, text = devdef("query", name, str(LIST_CAPACITY))
    failed = re.fullmatch(r"look-up failed, err=(\d+)\n", text)
    if code == NOT_DONE and failed and int(failed[1]) in NOT_FITTING:
        LaterFacts.past_edge.add(f"err{failed[1]}")
        return False
    if code != DONE:
        raise AssertionError(f"{name!r} cannot be looked up: {text.strip()}")
    return True


def long_name(stem, length):
    """A name of LENGTH characters that is this run's own."""
    return (stem + TAG + "N" * length)[:length]


def target_of(length):
    """A raw target of LENGTH characters (at least 30) that is this run's own."""
    return ("\\Device\\ZendrelLong" + TAG + "T" * length)[:length]


def free_letter(taken=()):
    for letter in LETTERS:
        if letter not in taken and not defined(letter):
            return letter
    raise AssertionError(f"no drive letter of {LETTERS} is free")


# Every name the run has defined, by its case-blind spelling, as the
# namespace compares names.
MADE = {}


def holding_the_mark(names):
    """The names of NAMES that list one of the run's targets, in the session
    or global."""
    names = list(names)
    if not names:
        return []
    code, text = devdef("marked", TAG, *names)
    if code != 0:
        raise AssertionError(f"the run's names cannot be looked up: {text}")
    found = {names[int(line.split()[0]) - 1] for line in text.splitlines()}
    return sorted(found)


class Definitions:
    """The definitions the run has made and not seen removed: (name, target)
    pairs, the most recent last."""

    def __init__(self):
        self.made = []

    def define(self, name, target):
        """Defines NAME; a name the run holds no definition of must be undefined."""
        if TAG not in target:
            raise AssertionError(f"{target!r} is not one of the run's targets")
        if not any(made == name for made, _ in self.made):
            listed = targets_of(name)
            if listed:
                raise AssertionError(f"{name!r} is already defined ({listed}); it is not this "
                                     "run's to use")
        code, text = devdef("define", name, target)
        if code == 0:
            self.made.append((name, target))
            MADE[name.lower()] = name
        return code, text

    def adopt(self, name, target):
        """A definition of the run's own that another program made for it,
        such as subst: it is removed as the run's others are."""
        if TAG not in target:
            raise AssertionError(f"{target!r} is not one of the run's targets")
        self.made.append((name, target))
        MADE[name.lower()] = name

    def forget(self, name, target=None):
        """Someone removed NAME's most recent definition, or the one as TARGET."""
        for index in range(len(self.made) - 1, -1, -1):
            if self.made[index][0] == name and target in (None, self.made[index][1]):
                del self.made[index]
                return

    def remove(self, name, target):
        """Removes the run's own definition of NAME as TARGET, and no other."""
        code, text = devdef("remove", name, target)
        if code == 0:
            self.forget(name, target)
        return code, text

    def remove_all(self):
        """Removes what the run made and has not seen removed, the most recent
        first; returns the names that still list one of the run's targets."""
        names = list(dict.fromkeys(name for name, _ in self.made))
        for name, target in reversed(self.made):
            # One that is gone already is not in the list: nothing is removed.
            devdef("remove", name, target)
        self.made = []
        return holding_the_mark(names)


class Facts:
    """What the namespace does, as the probe found it."""
    stacks = False
    long_names = False
    elevated = None
    # "per-session" or "shared", as the system answers; None when unknown.
    device_maps = None
    # Where the probe stopped, and why; None when it ran through.
    stopped = None
    # "ok", or "err" and the code; None when unknown.
    undefined_removal = None
    # The targets' characters that fit in 520, by number of targets.
    longest = {1: None, 2: None}
    reasons = {"stacks": "the namespace was not probed",
               "long_names": "the namespace was not probed"}

    @classmethod
    def line(cls):
        def word(value):
            return {True: "yes", False: "no", None: "unknown"}.get(value, value)
        # The system's answer, which no test here can check.
        device_maps = f"{cls.device_maps} (as reported)" if cls.device_maps else "unknown"
        return (f"namespace: stacks={word(cls.stacks)} long-names={word(cls.long_names)} "
                f"removal-of-undefined={word(cls.undefined_removal)} "
                f"one-target-in-520={word(cls.longest[1])} "
                f"two-targets-in-520={word(cls.longest[2])} "
                f"elevated={word(cls.elevated)} device-maps={device_maps}"
                + (f" stopped: {cls.stopped}" if cls.stopped else ""))


class LaterFacts:
    """What the run learns after its probe, as the cases and the end check
    find it."""
    # The errors of lists just past the longest that fits in 520.
    past_edge = set()
    # What became of the subst drive; None where the case did not get that far.
    subst = None
    # Others' targets that the subst case found on its letter and left there.
    subst_letter_left_to = []
    # The names the run did not make that changed: (name, before, after);
    # None until the end check has looked.
    unmade_changed = None
    stopped = None

    @classmethod
    def line(cls):
        changed = "unknown" if cls.unmade_changed is None else cls.unmade_changed or "none"
        past_edge = ",".join(sorted(cls.past_edge)) or "unknown"
        return (f"namespace after the cases: past-520={past_edge} "
                f"subst={cls.subst or 'unknown'} unmade-names-changed={changed}"
                + (f" subst-letter-left-to={cls.subst_letter_left_to}"
                   if cls.subst_letter_left_to else "")
                + (f" stopped: {cls.stopped}" if cls.stopped else ""))


def capacity_needed(name):
    code, text = devdef("capacity", name)
    if code != 0:
        raise AssertionError(f"the probe cannot measure the list of {name}: {text}")
    return int(text)


def probe_lists(definitions, letter):
    """Stacking, and how long a list of one and of two targets may be."""
    older, newer = target_of(300), target_of(200)
    first = definitions.define(letter, older)
    if first[0] != 0:
        raise AssertionError(f"the probe cannot define {letter}: {first[1]}")
    Facts.longest[1] = LIST_CAPACITY - (capacity_needed(letter) - len(older))
    second = definitions.define(letter, newer)
    listing = devdef("query", letter)
    Facts.stacks = second[0] == 0 and listing == (0, f"{newer}\n{older}\n")
    if second[0] != 0:
        Facts.reasons["stacks"] = ("the namespace keeps one definition a name: a second "
                                   f"definition was refused ({second[1].strip()})")
    elif not Facts.stacks:
        Facts.reasons["stacks"] = ("a second definition does not stack on the first: the name "
                                   f"lists {listing[1].split()}")
    else:
        needed = capacity_needed(letter)
        Facts.longest[2] = LIST_CAPACITY - (needed - len(older) - len(newer))


def probe_undefined_removal():
    if defined(SHORT_NAME):
        raise AssertionError(f"{SHORT_NAME} is defined; it is not this run's to probe with")
    try:
        code, text = devdef("platform-remove", SHORT_NAME, timeout=PROBE_SECONDS)
    except subprocess.TimeoutExpired:
        return
    match = re.fullmatch(r"remove failed, err=(\d+)\n", text)
    if code == 0:
        Facts.undefined_removal = "ok"
    elif code == 1 and match:
        Facts.undefined_removal = f"err{match.group(1)}"


def probe_long_names(definitions):
    name = long_name("ZendrelProbe", 259)
    code, text = definitions.define(name, TARGET)
    if code != 0:
        Facts.reasons["long_names"] = f"a name of 259 characters cannot be defined: {text.strip()}"
        return
    # The platform's own removal, as Zendrel.exe calls it. Where it overruns
    # its stack it may crash or spin: what it does in the time is the answer.
    try:
        code, text = devdef("platform-remove", name, timeout=PROBE_SECONDS)
    except subprocess.TimeoutExpired:
        Facts.reasons["long_names"] = ("the platform's removal of a name of 259 characters "
                                       f"did not end within {PROBE_SECONDS} s")
        return
    Facts.long_names = code == 0 and not defined(name)
    if Facts.long_names:
        definitions.forget(name, TARGET)
    else:
        Facts.reasons["long_names"] = (
            "the platform's removal of a name of 259 characters fails: exit "
            f"{code:#x}, {text.strip() or 'no output'}")


def namespace():
    """Every name the namespace lists, by its case-blind spelling, with its
    targets."""
    code, text = devdef("list")
    if code != 0:
        raise AssertionError(f"the namespace cannot be listed: {text}")
    names = {}
    for line in text.splitlines():
        name, _, targets = line.partition(" ")
        listing = bytes.fromhex(targets).decode("utf-16-le")
        names[bytes.fromhex(name).decode("utf-16-le").lower()] = [
            target for target in listing.split("\0") if target]
    return names


def others(targets):
    """The targets of a list that are not the run's own."""
    return [target for target in targets or [] if TAG not in target]


class Snapshot:
    names = {}


def device_maps():
    """(0, "per-session" or "shared"), or (1, why not known): the system's
    answer for this process, taken as reported. On Windows this process asks,
    natively: the 32-bit helper's call would go through WoW64, which is not
    documented to pass this class on."""
    if not windows_programs.ON_WINDOWS:
        code, text = devdef("device-maps")
        return code, text.strip()
    import ctypes
    enabled = ctypes.c_ulong()
    process_luid_device_maps_enabled = 28
    status = ctypes.WinDLL("ntdll").NtQueryInformationProcess(
        ctypes.c_void_p(-1), process_luid_device_maps_enabled, ctypes.byref(enabled),
        ctypes.sizeof(enabled), None)
    if status != 0:
        return 1, f"device-maps failed, status=0x{status & 0xFFFFFFFF:08X}"
    return 0, "per-session" if enabled.value else "shared"


def refuse_where_not_safe():
    code, text = devdef("system")
    if code != 0 or text.strip() != "no":
        raise AssertionError(
            "the run refuses to start as LocalSystem (or where that cannot be told: "
            f"{text.strip()}): its definitions would be global, seen by every session, "
            "and could take the place of a name another session relies on")
    code, text = device_maps()
    Facts.device_maps = text if code == 0 else None
    # Wine has no logon sessions and does not answer; Windows does. The
    # answer is the system's setting as reported, not a measurement, but
    # where even that says "shared" the run does not start.
    if Facts.device_maps == "shared" or (code != 0 and windows_programs.ON_WINDOWS):
        raise AssertionError(
            "the run refuses to start where the system reports per-session device maps off "
            f"(or where that cannot be told: {text}): every definition would be seen by every "
            "session")
    code, text = devdef("query", "NUL")
    if code != 0:
        raise AssertionError(f"a look-up of NUL fails ({text.strip()}): the namespace cannot be "
                             "read, so no name can be told free")


def probe(definitions):
    """The platform's answers, each learnt before the next is asked."""
    yield "noting the namespace", lambda: setattr(Snapshot, "names", namespace())
    yield "probing stacking and the longest lists", lambda: probe_lists(definitions,
                                                                        free_letter())
    yield "removing the lists' definitions", lambda: check_removed(definitions)
    yield "probing the removal of an undefined name", probe_undefined_removal
    yield "probing a name of 259 characters", lambda: probe_long_names(definitions)
    yield "removing the long name's definition", lambda: check_removed(definitions)


def check_removed(definitions):
    left = definitions.remove_all()
    if left:
        raise AssertionError(f"the probe cannot remove its own definitions of {left}")


def start_of_run():
    """Refuses where the run would not be safe, notes the namespace and probes
    it; prints what it learnt, also when it stops part-way."""
    windows_programs.limit_run(RUN_SECONDS, CLEAN_UP_SECONDS)
    definitions = Definitions()
    step = "reading the token"
    try:
        code, text = devdef("elevated")
        if code == 0:
            Facts.elevated = text.strip() == "yes"
        step = "refusing where the run is not safe"
        refuse_where_not_safe()
        for step, action in probe(definitions):
            action()
    except BaseException as error:
        Facts.stopped = f"{step}: {windows_programs.first_line(error)}"
        with contextlib.suppress(Exception):
            definitions.remove_all()
        raise
    finally:
        windows_programs.publish(Facts.line())


def end_of_run():
    """The check at the end; where it stops, the later facts say so."""
    try:
        check_the_end()
    except BaseException as error:
        LaterFacts.stopped = f"the end check: {windows_programs.first_line(error)}"
        raise


def check_the_end():
    """None of the run's definitions is left, and every name it used lists
    what it did at the start; elsewhere, under Wine nothing changed, and on
    Windows what changed is reported."""
    left = holding_the_mark(MADE.values())
    after = namespace()
    before = Snapshot.names
    used = [(name, others(before.get(name.lower())), others(after.get(name.lower())))
            for name in MADE.values()]
    used = [change for change in used if change[1] != change[2]]
    changed = [(name, before.get(name), after.get(name))
               for name in sorted(set(before) | set(after))
               if name not in MADE and after.get(name) != before.get(name)]
    LaterFacts.unmade_changed = changed
    if left:
        raise AssertionError(f"the run left its definitions under {left}")
    if used:
        raise AssertionError(f"names the run used list others' targets other than at the "
                             f"start (name, before, after): {used}")
    if changed and windows_programs.ON_WINDOWS:
        print(f"names this run did not make changed during it: {changed}", flush=True)
    elif changed:
        raise AssertionError(f"names this run did not make changed: {changed}")
