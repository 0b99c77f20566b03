#!/usr/bin/python3
"""scripts/setup gets through a package source whose index cannot be
fetched and through apt's locks held by another process, tells a user who is
not root at once that installing needs root, and runs no apt command when all
is present.

   setup_test.py SOURCE_DIR

Runs the script with stand-ins for apt-get, dpkg, dpkg-query and id first on
the PATH, and apt's own configuration pointed (APT_CONFIG) at source lists in
a scratch folder, laid out as Debian 12's: the main and updates suites in one
deb822 stanza, the security suite in another. The stand-in apt-get refuses
the security suite's i386 index on update, as a mirror in the middle of a
sync does, and fails the install while that suite is among the sources it is
given. It holds apt's locks as another process would, for as long as the case
says, with apt 2.6's own words: the update fails at once on the lists lock,
and the install waits for dpkg's locks only as long as apt's option
DPkg::Lock::Timeout says. As a user who is not root, it fails as apt does.
No network and no root are needed, and /etc/apt must be byte for byte the
same afterwards.
"""

import collections
import hashlib
import os
import pathlib
import subprocess
import sys
import tempfile
import time

SECURITY = "http://deb.debian.org/debian-security bookworm-security"
SOURCES = """Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
"""
APT_GET = r"""#!/bin/bash
printf '%s\n' "$*" >>"$FAKE_LOG"
if [ "$FAKE_UID" != 0 ]; then
    case " $* " in
    *" update "*) lock=/var/lib/apt/lists/lock last="E: Unable to lock directory /var/lib/apt/lists/" ;;
    *) lock=/var/lib/dpkg/lock-frontend
       last="E: Unable to acquire the dpkg frontend lock (/var/lib/dpkg/lock-frontend), are you root?" ;;
    esac
    printf 'E: Could not open lock file %s - open (13: Permission denied)\n%s\n' "$lock" "$last" >&2
    exit 100
fi
now() { echo "${EPOCHREALTIME/./}"; } # in microseconds
held() { [[ " $FAKE_LOCKS " == *" $1 "* ]] && [ "$(now)" -lt "$FAKE_LOCK_UNTIL" ]; }
holder="It is held by process 812 (unattended-upgr)"
case " $* " in
*" update "*)
    if held lists; then
        echo "Reading package lists..."
        printf 'E: Could not get lock /var/lib/apt/lists/lock. %s\nE: Unable to lock directory /var/lib/apt/lists/\n' \
            "$holder" >&2
        exit 100
    fi
    [ "$FAKE_INDEX" = healthy ] && exit 0
    echo "Err:6 http://deb.debian.org/debian-security bookworm-security/main i386 Packages"
    echo "E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?" >&2
    echo "E: Some index files failed to download. They have been ignored, or old ones used instead." >&2
    exit 100 ;;
esac
list=$FAKE_ETC/sources.list parts=$FAKE_ETC/sources.list.d wait=0
for arg in "$@"; do
    case $arg in
    Dir::Etc::SourceList=*) list=${arg#*=} ;;
    Dir::Etc::SourceParts=*) parts=${arg#*=} ;;
    DPkg::Lock::Timeout=*) wait=${arg#*=} ;;
    esac
done
until=$(($(now) + wait * 1000000))
while held dpkg && [ "$(now)" -lt "$until" ]; do sleep 0.1; done
if held dpkg; then
    [ "$wait" = 0 ] && echo "E: Could not get lock /var/lib/dpkg/lock-frontend. $holder" >&2
    echo "E: Unable to acquire the dpkg frontend lock (/var/lib/dpkg/lock-frontend), is another process using it?" >&2
    exit 100
fi
given=$(cat "$list" "$parts"/*.sources 2>/dev/null)
printf '%s\n---\n' "$given" >>"$FAKE_GIVEN"
if [ "$FAKE_INDEX" = "broken everywhere" ] || { [ "$FAKE_INDEX" = broken ] && grep -q debian-security <<<"$given"; }; then
    echo "E: Unable to correct problems, you have held broken packages." >&2
    exit 100
fi
"""
DPKG = """#!/bin/bash
printf 'dpkg %s\\n' "$*" >>"$FAKE_LOG"
[ "$1" = --print-foreign-architectures ] && echo i386
exit 0
"""
DPKG_QUERY = """#!/bin/bash
for package; do :; done
case " $FAKE_MISSING " in *" $package "*) exit 1 ;; esac
printf 'install ok installed'
"""
ID = """#!/bin/bash
[ "$1" = -u ] && exec echo "$FAKE_UID"
exec /usr/bin/id "$@"
"""
WAITING = "setup: waiting for apt's lock, held by process 812 (unattended-upgr)"
STILL_HELD = "apt's lock is still held by process 812 (unattended-upgr)"

# The index's state, the packages missing, and what must come of it: the exit
# status, words set-up must say, how many updates and installs apt-get was
# asked for (None: as many as the wait takes), and whether the install was
# given copies without the security suite. Then the locks another process
# holds ("lists" the update's, "dpkg" the install's) and for how many seconds
# (within a bound of LOCK_BOUND seconds, or for longer), and the user's id.
Case = collections.namedtuple("Case", "index missing status words updates installs left_out locks held uid",
                              defaults=("", 0, 0))
LOCK_BOUND = 6
CASES = [
    Case("broken", "wine32:i386", 0, [SECURITY, "main for i386", "unexpected size (374820 != 376004)",
                                     "leaving out " + SECURITY, "latest security fixes"], 3, 3, True),
    Case("healthy", "wine32:i386 zip", 0, ["installing wine32:i386 zip"], 1, 2, False),
    Case("broken everywhere", "wine32:i386", 1, [SECURITY, "unexpected size", "Try again",
                                                "without those sources either"], 3, 2, True),
    Case("broken", "", 0, [], 0, 0, False),
    Case("healthy", "zip", 0, [WAITING], None, 2, False, locks="lists dpkg", held=3),
    Case("healthy", "zip", 0, [WAITING], 1, 3, False, locks="dpkg", held=3),
    Case("healthy", "zip", 1, [STILL_HELD, "run this command again"], None, 0, False, locks="lists dpkg", held=99),
    Case("healthy", "zip", 1, [STILL_HELD, "run this command again"], 1, 2, False, locks="dpkg", held=99),
    Case("healthy", "zip", 1, ["not installed: zip", "needs root", "sudo"], 0, 0, False, uid=1000),
    Case("healthy", "", 0, [], 0, 0, False, uid=1000),
]


def etc_apt_digest():
    digest = hashlib.sha256()
    for path in sorted(pathlib.Path("/etc/apt").rglob("*")):
        if path.is_file() and not path.is_symlink():
            digest.update(str(path).encode() + b"\0" + path.read_bytes())
    return digest.hexdigest()


def run_setup(setup, scratch, case):
    bin_dir, etc = scratch / "bin", scratch / "etc"
    (etc / "sources.list.d").mkdir(parents=True)
    (etc / "sources.list").write_text("")
    (etc / "sources.list.d" / "debian.sources").write_text(SOURCES)
    (scratch / "apt.conf").write_text(f'Dir::Etc::sourcelist "{etc}/sources.list";\n'
                                      f'Dir::Etc::sourceparts "{etc}/sources.list.d";\n')
    bin_dir.mkdir()
    for name, text in (("apt-get", APT_GET), ("dpkg", DPKG), ("dpkg-query", DPKG_QUERY), ("id", ID)):
        (bin_dir / name).write_text(text)
        (bin_dir / name).chmod(0o755)
    env = dict(os.environ, PATH=f"{bin_dir}:{os.environ['PATH']}", APT_CONFIG=str(scratch / "apt.conf"),
               FAKE_LOG=str(scratch / "log"), FAKE_GIVEN=str(scratch / "given"), FAKE_ETC=str(etc),
               FAKE_INDEX=case.index, FAKE_MISSING=case.missing, FAKE_UID=str(case.uid), FAKE_LOCKS=case.locks,
               FAKE_LOCK_UNTIL=str(int((time.time() + case.held) * 1e6)), SETUP_RETRY_PAUSE="0.2",
               SETUP_LOCK_SECONDS=str(LOCK_BOUND))
    result = subprocess.run([setup], env=env, stdin=subprocess.DEVNULL, capture_output=True,
                            text=True, timeout=120)
    read = lambda name: (scratch / name).read_text() if (scratch / name).exists() else ""
    configured = {str(path.relative_to(etc)): path.read_text() for path in etc.rglob("*") if path.is_file()}
    return result, read("log").splitlines(), read("given").split("---\n")[:-1], configured


def check(setup, case):
    index, missing, status, words, updates, installs, left_out, locks, held, uid = case
    faults = []
    with tempfile.TemporaryDirectory() as scratch:
        result, calls, given, configured = run_setup(setup, pathlib.Path(scratch), case)
    said = result.stdout + result.stderr
    if configured != {"sources.list": "", "sources.list.d/debian.sources": SOURCES}:
        faults.append(f"changed apt's configured source lists: {sorted(configured)}")
    if result.returncode != status:
        faults.append(f"exit {result.returncode}, not {status}")
    faults += [f"does not say {word!r}" for word in words if word not in said]
    if not left_out and "leaving out" in said:
        faults.append("left a source out on the ordinary path")
    apt_calls = [call for call in calls if not call.startswith("dpkg ")]
    counted = (sum("update" in call.split() for call in apt_calls),
               sum("install" in call.split() for call in apt_calls))
    if counted != (updates if updates is not None else counted[0], installs):
        faults.append(f"apt-get asked for {counted[0]} updates and {counted[1]} installs, "
                      f"not {'any' if updates is None else updates} and {installs}")
    if any("--add-architecture" in call for call in calls):
        faults.append("added an architecture that was there")
    for number, call in enumerate(apt_calls):
        # The first install after the updates is the ordinary one; any later one leaves out.
        if ("Dir::Etc::SourceList=" in call) != (left_out and number > updates):
            faults.append(f"source lists given wrongly: {call}")
        if "Dir::Etc::Source" in call and "/etc/apt" in call:
            faults.append(f"pointed apt at /etc/apt: {call}")
    if said.count(WAITING) > 1:
        faults.append("said more than once what it waits for")
    if locks and "(try " in said:
        faults.append("counted a held lock as a failed try")
    if (locks or uid) and status and len(result.stderr.splitlines()) != 1:
        faults.append("did not end with one message")
    for sources in given[1:] if left_out else []:
        if "debian-security" in sources or "Suites: bookworm bookworm-updates" not in sources:
            faults.append(f"the copy does not hold just the other sources:\n{sources}")
    return faults + ([f"said:\n{said}"] if faults else [])


def main():
    setup = os.path.join(sys.argv[1], "scripts", "setup")
    before = etc_apt_digest()
    failed = 0
    for case in CASES:
        faults = check(setup, case)
        print(f"{'FAIL' if faults else 'ok'}: {case.index}, missing {case.missing or 'nothing'}"
              + (f", {case.locks} locks held {case.held} s" if case.locks else "")
              + (f", as user {case.uid}" if case.uid else ""))
        for fault in faults:
            print("    " + fault)
        failed += bool(faults)
    if etc_apt_digest() != before:
        print("FAIL: /etc/apt changed")
        failed += 1
    print(f"{len(CASES) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
