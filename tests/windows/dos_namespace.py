"""The DOS-device namespace as the end-to-end run uses it: the capability
table, the probe and the facts lines, and every rule that keeps the run to
its own names (docs/testing.md says them in prose): the mark, TAG, in every
target it defines; take() before a name is the run's; listed() for what a
look-up means; the clean-up by exact target, with the run's reserve, through
Definitions and take_back_folder(); the refusal where definitions would be
global; and the end check.
"""

import contextlib
import os
import re
import subprocess

import windows_programs
from windows_programs import JOB, Capability

# The run's mark, in every target it defines and in the names it makes up.
# It ends as it begins, so that no other process id's mark holds it: Z123Z is
# not in Z1234Z.
TAG = f"Z{os.getpid()}Z"
TARGET = f"\\Device\\ZendrelTest{TAG}"
OLDER = f"\\Device\\ZendrelOlder{TAG}"
# Drive letters the run may take, when they are undefined.
LETTERS = [f"{letter}:" for letter in "QRPSOTNUMVLWKXJYIHGFE"]
# Zendrel.exe asks for a target list with room for this many characters.
LIST_CAPACITY = 520
# The most room devdef asks with.
FULL_ROOM = 32767
# How long a probe of the platform's removal may take. A removal ends at
# once; one that overruns its stack can spin instead of crashing.
PROBE_SECONDS = 20


def base36(number):
    digit = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"[number % 36]
    return (base36(number // 36) if number >= 36 else "") + digit


# Six characters for any Linux process id: Wine's removal overruns a buffer
# of two characters, which names of up to six survive.
SHORT_NAME = "Z" + base36(os.getpid()).rjust(5, "0")


# The whole run's limit, within ctest's and the CI step's, and the reserve
# after it for the clean-up and the end check.
RUN_SECONDS = 720
CLEAN_UP_SECONDS = 90

# The devdef commands that change nothing, and those of the clean-up; a
# look-up is the clean-up's where it looks for the run's mark.
LOOKS = {"query", "capacity", "token", "list"}
CLEAN_UP = {"remove", "list"}


def devdef(*arguments, timeout=90, clean_up=False):
    program = os.path.join(windows_programs.TOOLS, "devdef.exe")
    result = windows_programs.run(program, *arguments, timeout=timeout,
                                  changes_nothing=arguments[0] in LOOKS,
                                  clean_up=clean_up or arguments[0] in CLEAN_UP)
    return result.returncode, result.stdout.decode("latin-1").replace("\r\n", "\n")


ANSWER = re.compile(r"err (\d+)|((?:[0-9a-f]{4})+)")


def answer(line):
    """A look-up's answer as devdef writes it: (0, the targets, the newest
    first), or (the platform's error code, [])."""
    found = ANSWER.fullmatch(line)
    if not found:
        raise AssertionError(f"devdef gave no look-up's answer: {line!r}")
    if found[1]:
        return int(found[1]), []
    listing = bytes.fromhex(found[2]).decode("utf-16-le")
    return 0, [target for target in listing.split("\0") if target]


class LookUpFailed(AssertionError):
    def __init__(self, name, error):
        super().__init__(f"{name!r} cannot be looked up (error {error}), so whether it is in "
                         "use is not known")
        self.error = error


def listed(name, reply):
    """The targets of NAME's answer; none where it is undefined, which only
    error 2 means."""
    error, targets = reply
    if error not in (0, 2):
        raise LookUpFailed(name, error)
    return targets


def look_up(names, room=FULL_ROOM, clean_up=False):
    """The target lists of NAMES, each the newest first, asked for with ROOM."""
    code, text = devdef("query", str(room), *names, clean_up=clean_up)
    replies = text.splitlines()
    if code != 0 or len(replies) != len(names):
        raise AssertionError(f"devdef query: exit {code}, {text!r}")
    return [listed(name, answer(reply)) for name, reply in zip(names, replies)]


def targets_of(name):
    return look_up([name])[0]


# The errors of a list that does not fit. The QueryDosDevice page names
# ERROR_INSUFFICIENT_BUFFER; as Windows is modelled, QueryDosDeviceA converts
# the wide list, and where that list fills the room exactly the conversion
# fails with ERROR_MORE_DATA instead. Which one a platform gives is a fact of
# the run, not an expectation.
NOT_FITTING = {122, 234}


def fits(name):
    """Whether the platform's QueryDosDeviceA hands out NAME's list with room
    for 520 characters; notes the error of a list that does not fit."""
    try:
        look_up([name], LIST_CAPACITY)
        return True
    except LookUpFailed as failed:
        if failed.error not in NOT_FITTING:
            raise
        LaterFacts.past_edge.add(f"err{failed.error}")
        return False


def long_name(stem, length):
    """A name of LENGTH characters that is this run's own."""
    return (stem + TAG + "N" * length)[:length]


def target_of(length):
    """A raw target of LENGTH characters (at least 30) that is this run's own."""
    return ("\\Device\\ZendrelLong" + TAG + "T" * length)[:length]


def others(targets):
    """The targets of a list that are not the run's own."""
    return [target for target in targets if TAG not in target]


# Every name the run has used, by its case-blind spelling, as the namespace
# compares names.
USED = {}


def take(name):
    """NAME for the run to define, or to run Zendrel.exe on: it may list
    nothing but the run's own targets. It counts among the names used."""
    strangers = others(targets_of(name))
    if strangers:
        raise AssertionError(f"{name!r} lists targets that are not this run's ({strangers}); "
                             "it is not the run's to use")
    USED[name.lower()] = name


def before_zendrel(name):
    """Zendrel.exe removes the newest definition, whoever made it: a drive
    letter is looked at just before."""
    if len(name) == 2 and name[1] == ":" and name[0].isalpha():
        take(name)


def free_letter(taken=()):
    for letter in LETTERS:
        if letter not in taken and not targets_of(letter):
            USED[letter.lower()] = letter
            return letter
    raise AssertionError(f"no drive letter of {LETTERS} is free")


def holding_the_mark(names):
    """The names of NAMES that list one of the run's targets, in the session
    or global."""
    forms = [form for name in sorted(set(names)) for form in (name, "Global\\" + name)]
    lists = look_up(forms, clean_up=True) if forms else []
    return sorted({form.removeprefix("Global\\") for form, targets in zip(forms, lists)
                   if any(TAG in target for target in targets)})


class Definitions:
    """The definitions a case or the probe made: (name, target) pairs, the
    most recent last, whether or not something has removed them since."""

    def __init__(self):
        self.made = []

    def define(self, name, target):
        """Defines NAME as TARGET, one of the run's, where NAME is the run's to use."""
        if TAG not in target:
            raise AssertionError(f"{target!r} is not one of the run's targets")
        take(name)
        self.made.append((name, target))
        return devdef("define", name, target)

    def remove(self):
        """Removes each definition made, the most recent first, where it is
        still listed."""
        pairs = [part for name, target in reversed(self.made) for part in (name, target)]
        if pairs:
            devdef("remove", *pairs)

    def remove_all(self):
        """Removes every definition made; returns the names that still list
        one of the run's targets."""
        self.remove()
        names, self.made = [name for name, _ in self.made], []
        return holding_the_mark(names)


def take_back_folder(letter, folder):
    """Takes the run's FOLDER off LETTER, where subst put it, by exact removals
    of that target alone (subst X: /D would pop the newest definition,
    whoever made it); returns the letter's other targets, which stay. The
    folder's target is behind \\??\\, in whatever form of its path the
    platform keeps, ending in the folder's own name, which carries the mark.
    A clean-up: it may use the run's reserve."""
    listed = look_up([letter], clean_up=True)[0]
    own = [target for target in listed if target.startswith("\\??\\") and
           target.lower().endswith("\\" + os.path.basename(folder).lower())]
    for target in own:
        devdef("remove", letter, target)
    return [target for target in listed if target not in own]


def capacity_needed(name):
    code, text = devdef("capacity", name)
    if code != 0:
        raise AssertionError(f"the probe cannot measure the list of {name}: {text}")
    return int(text)


def probe_stacking(definitions):
    """Stacking, and how long a list of one and of two targets may be."""
    letter = free_letter()
    older, newer = target_of(300), target_of(200)
    code, text = definitions.define(letter, older)
    if code != 0:
        raise AssertionError(f"the probe cannot define {letter}: {text}")
    Facts.longest[1] = LIST_CAPACITY - (capacity_needed(letter) - len(older))
    code, text = definitions.define(letter, newer)
    if code != 0:
        return ("the namespace keeps one definition a name: a second definition was refused "
                f"({text.strip()})")
    listing = targets_of(letter)
    if listing != [newer, older]:
        return f"a second definition does not stack on the first: the name lists {listing}"
    Facts.longest[2] = LIST_CAPACITY - (capacity_needed(letter) - len(older) - len(newer))
    return None


def probe_long_names(definitions):
    """Whether the platform's own removal, as Zendrel.exe calls it, takes a
    name of 259 characters. Where it overruns its stack it may crash or spin:
    what it does in the time is the answer."""
    name = long_name("ZendrelProbe", 259)
    code, text = definitions.define(name, TARGET)
    if code != 0:
        return f"a name of 259 characters cannot be defined: {text.strip()}"
    try:
        code, text = devdef("platform-remove", name, timeout=PROBE_SECONDS)
    except subprocess.TimeoutExpired:
        return ("the platform's removal of a name of 259 characters did not end within "
                f"{PROBE_SECONDS} s")
    if code != 0 or targets_of(name):
        return ("the platform's removal of a name of 259 characters fails: exit "
                f"{code:#x}, {text.strip() or 'no output'}")
    return None


STACKS = Capability("stacks", "probing stacking and the longest lists", probe_stacking)
LONG_NAMES = Capability("long-names", "probing a name of 259 characters", probe_long_names)
# The platform's capabilities, in the order they are probed and named on the
# facts line.
CAPABILITIES = [JOB, STACKS, LONG_NAMES]


def capability_skip(reason):
    """Whether a skip is for a capability that the facts line reports missing."""
    return reason in {capability.skip_reason() for capability in CAPABILITIES
                      if not capability.present}


class Facts:
    """What the probe measured, beside the capabilities; None where unknown.
    DEVICE_MAPS: "per-session" or "shared", as the system answers; LONGEST:
    the targets' characters that fit in 520, by number of targets."""
    elevated = device_maps = stopped = undefined_removal = None
    longest = {1: None, 2: None}

    @classmethod
    def publish(cls):
        # The system's answer, which no test here can check.
        device_maps = cls.device_maps and f"{cls.device_maps} (as reported)"
        windows_programs.publish("namespace", {
            **{capability.word: capability.fact() for capability in CAPABILITIES},
            "removal-of-undefined": cls.undefined_removal, "one-target-in-520": cls.longest[1],
            "two-targets-in-520": cls.longest[2], "elevated": cls.elevated,
            "device-maps": device_maps}, cls.stopped)


class LaterFacts:
    """What the run learns after its probe, as the cases and the end check
    find it; None where they did not get that far. PAST_EDGE: the errors of
    lists just past the longest that fits in 520. UNMADE_CHANGED: (name,
    before, after) of the names the run did not use that changed."""
    past_edge = set()
    subst_letter_left_to = []
    subst = unmade_changed = stopped = None

    @classmethod
    def publish(cls):
        changed, left_to = cls.unmade_changed, cls.subst_letter_left_to
        windows_programs.publish("namespace after the cases", {
            "past-520": ",".join(sorted(cls.past_edge)) or None, "subst": cls.subst,
            "unmade-names-changed": changed if changed is None else changed or "none",
            **({"subst-letter-left-to": left_to} if left_to else {})}, cls.stopped)


def probe_undefined_removal():
    if targets_of(SHORT_NAME):
        raise AssertionError(f"{SHORT_NAME} is defined; it is not this run's to probe with")
    try:
        code, text = devdef("platform-remove", SHORT_NAME, timeout=PROBE_SECONDS)
    except subprocess.TimeoutExpired:
        return
    if code == 0:
        Facts.undefined_removal = "ok"
    elif code == 1:
        Facts.undefined_removal = f"err{answer(text.strip())[0]}"


def namespace():
    """Every name the namespace lists, by its case-blind spelling, with its
    look-up's answer."""
    code, text = devdef("list")
    if code != 0:
        raise AssertionError(f"the namespace cannot be listed: {text}")
    names = {}
    for line in text.splitlines():
        name, _, reply = line.partition(" ")
        names[bytes.fromhex(name).decode("utf-16-le").lower()] = answer(reply)
    return names


class Snapshot:
    names = {}  # the namespace() before the cases


def device_maps():
    """(0, "per-session" or "shared"), or (1, why not known): the system's
    answer for this process, taken as reported. On Windows this process asks,
    natively; Wine has no logon sessions and does not answer."""
    if not windows_programs.ON_WINDOWS:
        return 1, "Wine does not answer"
    import ctypes
    enabled = ctypes.c_ulong()
    process_luid_device_maps_enabled = 28
    status = ctypes.WinDLL("ntdll").NtQueryInformationProcess(
        ctypes.c_void_p(-1), process_luid_device_maps_enabled, ctypes.byref(enabled),
        ctypes.sizeof(enabled), None)
    if status != 0:
        return 1, f"status 0x{status & 0xFFFFFFFF:08X}"
    return 0, "per-session" if enabled.value else "shared"


def refuse_where_not_safe(token, answer):
    if token.get("system") == "yes":
        raise AssertionError(
            "the run refuses to start as LocalSystem: its definitions would be global, seen by "
            "every session, and could take the place of a name another session relies on")
    if token.get("system") != "no":
        raise AssertionError(f"the token cannot be read ({answer.strip() or 'no answer'}), so "
                             "whether the run's definitions would be global is not known")
    code, text = device_maps()
    Facts.device_maps = text if code == 0 else None
    # Windows answers for the whole system, which is no measurement: but
    # "shared" is not run on.
    if Facts.device_maps == "shared" or (code != 0 and windows_programs.ON_WINDOWS):
        raise AssertionError(
            "the run refuses to start where the system reports per-session device maps off "
            f"(or where that cannot be told: {text}): every definition would be seen by every "
            "session")
    if not targets_of("NUL"):
        raise AssertionError("a look-up of NUL finds nothing: the namespace cannot be read, so "
                             "no name can be told free")


def check_removed(definitions):
    left = definitions.remove_all()
    if left:
        raise AssertionError(f"the probe cannot remove its own definitions of {left}")


def probe(definitions):
    """The platform's answers, each learnt before the next is asked."""
    yield "noting the namespace", lambda: setattr(Snapshot, "names", namespace())
    for capability in CAPABILITIES:
        yield capability.step, lambda capability=capability: capability.learn(definitions)
        yield "removing the probe's definitions", lambda: check_removed(definitions)
    yield "probing the removal of an undefined name", probe_undefined_removal


def start_of_run():
    """Refuses where the run would not be safe, notes the namespace and probes
    it; prints what it learnt, also when it stops part-way."""
    windows_programs.limit_run(RUN_SECONDS, CLEAN_UP_SECONDS)
    definitions = Definitions()
    step = "reading the token"
    try:
        _, text = devdef("token")
        token = dict(re.findall(r"(\w+)=(\w+)", text))
        Facts.elevated = {"yes": True, "no": False}.get(token.get("elevated"))
        step = "refusing where the run is not safe"
        refuse_where_not_safe(token, text)
        for step, action in probe(definitions):
            action()
    except BaseException as error:
        Facts.stopped = f"{step}: {windows_programs.first_line(error)}"
        with contextlib.suppress(Exception):
            definitions.remove_all()
        raise
    finally:
        Facts.publish()


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
    left = holding_the_mark(USED.values())
    after = namespace()
    before = Snapshot.names

    def theirs(names, name):
        return others(listed(name, names.get(name.lower(), (2, []))))

    used = [(name, theirs(before, name), theirs(after, name)) for name in USED.values()]
    used = [change for change in used if change[1] != change[2]]
    changed = [(name, before.get(name), after.get(name))
               for name in sorted(set(before) | set(after))
               if name not in USED and after.get(name) != before.get(name)]
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
