#!/usr/bin/python3
"""scripts/release-check passes a tag only for the version in CMakeLists.txt
with a dated section in CHANGELOG.md, and gives that section as the notes.

   release_check_test.py SOURCE_DIR

Runs a copy of the script in a scratch tree against each row's
CMakeLists.txt and CHANGELOG.md, then against the project's own, its
version's heading made Unreleased and then dated. A refusal exits with 1,
says why in one line on standard error and writes no notes; an acceptance
exits with 0 and writes the section without its heading.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile

CMAKE = "cmake_minimum_required(VERSION 3.20)\nproject(Zendrel VERSION {} LANGUAGES C CXX)\n"
BODY = "The notes of {}.\n\n### Added\n\n- `one` thing: and another\n"
HEAD = "# Changelog\n\nAll notable changes.\n\n"


def changelog(*headings):
    """A changelog of these section headings, each section with its notes."""
    return HEAD + "".join(f"{heading}\n\n{BODY.format(heading)}\n" for heading in headings)


# Arguments, the version in CMakeLists.txt, CHANGELOG.md, and the outcome:
# the notes written, or a word of the one line that says why not (None: no
# such file).
CASES = [
    (["v1.2.3.4"], "1.2.3.4", changelog("## [1.2.3.4] - 2026-03-01", "## [1.2.3.3] - 2025-12-31"),
     BODY.format("## [1.2.3.4] - 2026-03-01")),
    (["v1.2.3.3"], "1.2.3.3", changelog("## [1.2.3.4] - 2026-03-01", "## [1.2.3.3] - 2025-12-31"),
     BODY.format("## [1.2.3.3] - 2025-12-31")),
    (["v1.2.3.4"], "1.2.3.4", changelog("## [1.2.3.4] - Unreleased"), "Unreleased"),
    (["v1.2.3.4"], "1.2.3.4", changelog("## [1.2.3.4] - unreleased"), "Unreleased"),
    (["v1.2.3.4"], "1.2.3.4", changelog("## [1.2.3.4]"), "dated"),
    (["v1.2.3.4"], "1.2.3.4", changelog("## [1.2.3.4] - soon"), "dated"),
    (["v1.2.3.4"], "1.2.3.4", changelog("## [1.2.3.4] - 2026-02-30"), "dated"),
    (["v1.2.3.4"], "1.2.3.4", changelog("## [1.2.3.3] - 2025-12-31"), "no section"),
    (["v1.2.3.4"], "1.2.3.4", changelog("## [1.2.3.40] - 2025-12-31"), "no section"),
    (["v1.2.3.4"], "1.2.3.4", changelog("## [1.2.3.4] - 2026-03-01", "## [1.2.3.4] - 2025-12-31"),
     "2 sections"),
    (["v1.2.3.4"], "1.2.3.4", HEAD + "## [1.2.3.4] - 2026-03-01\n\n## [1.2.3.3] - 2025-12-31\n",
     "says nothing"),
    (["v1.2.3.4"], "1.2.3.4", None, "CHANGELOG.md"),
    (["1.2.3.4"], "1.2.3.4", changelog("## [1.2.3.4] - 2026-03-01"), "tag"),
    (["V1.2.3.4"], "1.2.3.4", changelog("## [1.2.3.4] - 2026-03-01"), "tag"),
    (["v1.2.3"], "1.2.3.4", changelog("## [1.2.3] - 2026-03-01"), "tag"),
    (["v1.2.3.5"], "1.2.3.4", changelog("## [1.2.3.5] - 2026-03-01"), "tag"),
    (["v1.2.3.4"], "x", changelog("## [1.2.3.4] - 2026-03-01"), "no version"),
    (["v1.2.3.4"], None, changelog("## [1.2.3.4] - 2026-03-01"), "CMakeLists.txt"),
]
# Command lines refused as such, with exit 2.
WRONG_COMMAND_LINES = [[], ["v1.2.3.4", "--notes"], ["v1.2.3.4", "v1.2.3.4"], ["--tag", "v1.2.3.4"]]

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
    return condition


def run(tree, arguments, version, text):
    """release-check in TREE with these files; its result and the notes."""
    for name, content in [("CMakeLists.txt", version and CMAKE.format(version)),
                          ("CHANGELOG.md", text)]:
        path = os.path.join(tree, name)
        if os.path.exists(path):
            os.remove(path)
        if content is not None:
            with open(path, "w", encoding="utf-8") as file:
                file.write(content)
    notes = os.path.join(tree, "notes.md")
    if os.path.exists(notes):
        os.remove(notes)
    result = subprocess.run([os.path.join(tree, "scripts", "release-check"), *arguments,
                             "--notes", notes], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            timeout=30)
    written = None
    if os.path.exists(notes):
        with open(notes, encoding="utf-8") as file:
            written = file.read()
    return result, written


def check_case(tree, arguments, version, text, expected):
    result, notes = run(tree, arguments, version, text)
    out, err = result.stdout.decode(errors="replace"), result.stderr.decode(errors="replace")
    headings = re.findall(r"^## .*", text, re.M) if text is not None else "no CHANGELOG.md"
    what = f"release-check {' '.join(arguments)} with version {version} and {headings}"
    if expected.endswith("\n"):
        check(result.returncode == 0 and out.count("\n") == 1 and err == "",
              f"{what}: exit {result.returncode}, out {out!r}, err {err!r}")
        if notes != expected:
            got, wanted = (notes or "").split("\n"), expected.split("\n")
            line = next(number for number, pair in enumerate(zip(got + [None], wanted + [None]))
                        if pair[0] != pair[1])
            failures.append(f"{what}: notes line {line + 1} is {got[line:line + 1]}, "
                            f"not {wanted[line:line + 1]}")
    else:
        check(result.returncode == 1 and out == "" and err.count("\n") == 1 and
              expected in err, f"{what}: exit {result.returncode}, out {out!r}, err {err!r}, "
              f"not one line saying {expected!r}")
        check(notes is None, f"{what}: refused, yet wrote notes {notes!r}")


def main():
    source = os.path.abspath(sys.argv[1])
    with open(os.path.join(source, "CMakeLists.txt"), encoding="utf-8") as file:
        version = re.search(r"^project\(Zendrel VERSION ([0-9.]+)", file.read(), re.M)[1]
    with open(os.path.join(source, "CHANGELOG.md"), encoding="utf-8") as file:
        own = file.read()
    heading = re.compile(r"^## \[" + re.escape(version) + r"\] - .*$", re.M)
    own_body = own[heading.search(own).end():].split("\n## ", 1)[0].strip("\n") + "\n"

    with tempfile.TemporaryDirectory(prefix="zendrel-release-check-") as tree:
        os.mkdir(os.path.join(tree, "scripts"))
        shutil.copy(os.path.join(source, "scripts", "release-check"), os.path.join(tree, "scripts"))
        for arguments, cmake_version, text, expected in CASES:
            check_case(tree, arguments, cmake_version, text, expected)
        # The project's own changelog, whichever state it is in now.
        for mark, expected in [("Unreleased", "Unreleased"), ("2026-03-01", own_body)]:
            check_case(tree, [f"v{version}"], version,
                       heading.sub(f"## [{version}] - {mark}", own), expected)
        for arguments in WRONG_COMMAND_LINES:
            result = subprocess.run([os.path.join(tree, "scripts", "release-check"), *arguments],
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=30)
            check(result.returncode == 2 and result.stderr.startswith(b"usage:"),
                  f"release-check {arguments}: exit {result.returncode}, {result.stderr!r}")

    for failure in failures:
        print("FAIL:", failure)
    if failures:
        return 1
    print(f"ok: {len(CASES) + 2} changelogs, {len(WRONG_COMMAND_LINES)} wrong command lines")
    return 0


if __name__ == "__main__":
    sys.exit(main())
