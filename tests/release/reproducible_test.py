#!/usr/bin/python3
"""Two clean builds of Zendrel.exe give the same bytes.

   reproducible_test.py SOURCE_DIR

Configures and builds the executable twice, into fresh directories whose
paths differ in name and length and at least a second apart, so that an
embedded build path or clock reading would show as a difference. The file
must also carry no link time in its PE header, and name neither directory.
"""

import os
import subprocess
import sys
import tempfile
import time

import pefile


def build(source, directory):
    toolchain = os.path.join(source, "cmake", "mingw-i686.cmake")
    cmake = os.environ.get("CMAKE", "cmake")
    for command in ([cmake, "-S", source, "-B", directory,
                     "-DCMAKE_TOOLCHAIN_FILE=" + toolchain, "-DCMAKE_BUILD_TYPE="],
                    [cmake, "--build", directory, "--target", "Zendrel"]):
        result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if result.returncode != 0:
            sys.stdout.write(result.stdout.decode(errors="replace"))
            raise SystemExit(f"FAIL: {' '.join(command)} exited with {result.returncode}")
    with open(os.path.join(directory, "Zendrel.exe"), "rb") as file:
        return file.read()


def main():
    source = os.path.abspath(sys.argv[1])
    failures = []
    with tempfile.TemporaryDirectory(prefix="zendrel-reproducible-") as scratch:
        first_directory = os.path.join(scratch, "a")
        second_directory = os.path.join(scratch, "second", "build-with-a-longer-path")
        first = build(source, first_directory)
        time.sleep(1)
        second = build(source, second_directory)

        if first != second:
            differing = [i for i in range(min(len(first), len(second))) if first[i] != second[i]]
            failures.append(f"the two builds differ: sizes {len(first)} and {len(second)}, "
                            f"{len(differing)} differing bytes, first at {differing[:1]}")
        for name, image in (("first", first), ("second", second)):
            stamp = pefile.PE(data=image, fast_load=True).FILE_HEADER.TimeDateStamp
            if stamp != 0:
                failures.append(f"{name} build: PE time stamp is {stamp:#x}, not 0")
        for path in (source, first_directory, second_directory):
            if path.encode() in first or path.encode() in second:
                failures.append(f"a build contains the path {path}")

    for failure in failures:
        print("FAIL:", failure)
    if failures:
        return 1
    print(f"ok: two clean builds are identical ({len(first)} bytes), PE time stamp 0")
    return 0


if __name__ == "__main__":
    sys.exit(main())
