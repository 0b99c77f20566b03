#!/usr/bin/python3
"""Zendrel.exe is the program Windows is to load, with the platform's
security baseline.

   baseline_test.py EXE README

Reads the built file and fails on each missing piece: an i386 PE32 console
program importing from KERNEL32.dll, USER32.dll and SHLWAPI.dll alone (the
file the Windows tests download and run is this one); address randomisation
with a relocation table to carry it out, no execution of data, no exception
handlers, large addresses, no compatibility redirection under Terminal
Services, no section both writable and executable, and neither a debug
directory nor a link time. The OS and subsystem versions in the header are
the ones README tells Windows users.
"""

import re
import sys

import pefile

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)


def relocation_types(pe):
    """The set of base relocation types in the table (empty when there is none)."""
    return {entry.type for block in getattr(pe, "DIRECTORY_ENTRY_BASERELOC", [])
            for entry in block.entries}


def check_versions(optional, readme_path):
    """The header's OS and subsystem versions are what the README says."""
    with open(readme_path, encoding="utf-8") as file:
        readme = " ".join(file.read().split())
    said = re.search(r"its OS and subsystem versions are (\d+)\.(\d+)", readme)
    if not said:
        check(False, "the README does not say the OS and subsystem versions")
        return
    expected = (int(said[1]), int(said[2]))
    for name, got in [
        ("OS", (optional.MajorOperatingSystemVersion, optional.MinorOperatingSystemVersion)),
        ("subsystem", (optional.MajorSubsystemVersion, optional.MinorSubsystemVersion)),
    ]:
        check(got == expected, f"the {name} version is {got[0]}.{got[1]}, the README says "
              f"{expected[0]}.{expected[1]}")


def main():
    pe = pefile.PE(sys.argv[1])
    optional = pe.OPTIONAL_HEADER
    header = pe.FILE_HEADER
    directories = optional.DATA_DIRECTORY

    flags = [
        ("DYNAMIC_BASE (address randomisation)", optional.IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE),
        ("NX_COMPAT (no execution of data)", optional.IMAGE_DLLCHARACTERISTICS_NX_COMPAT),
        ("NO_SEH (no exception handlers)", optional.IMAGE_DLLCHARACTERISTICS_NO_SEH),
        ("LARGE_ADDRESS_AWARE", header.IMAGE_FILE_LARGE_ADDRESS_AWARE),
        ("TERMINAL_SERVER_AWARE (no compatibility redirection)",
         optional.IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE),
    ]
    for name, present in flags:
        check(present, f"{name} is not set")

    kind = (header.Machine, optional.Magic, optional.Subsystem)
    wanted = (pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"], pefile.OPTIONAL_HEADER_MAGIC_PE,
              pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_CUI"])
    check(kind == wanted, f"machine, magic and subsystem are {[hex(v) for v in kind]}, not "
          f"{[hex(v) for v in wanted]} (i386, PE32, console)")
    imported = sorted(entry.dll.decode() for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []))
    check(imported == ["KERNEL32.dll", "SHLWAPI.dll", "USER32.dll"],
          f"the file imports from {imported}")

    relocations = directories[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
    check(not header.IMAGE_FILE_RELOCS_STRIPPED, "the file header says relocations are stripped")
    check(relocations.VirtualAddress != 0 and relocations.Size != 0,
          "the base relocation directory is empty")
    # A 32-bit image is fixed up with whole 32-bit addresses; padding entries
    # (type 0) only round a block to four bytes.
    highlow = pefile.RELOCATION_TYPE["IMAGE_REL_BASED_HIGHLOW"]
    absolute = pefile.RELOCATION_TYPE["IMAGE_REL_BASED_ABSOLUTE"]
    types = relocation_types(pe)
    check(highlow in types, "the relocation table holds no 32-bit address fixup")
    check(types <= {highlow, absolute}, f"unexpected relocation types {sorted(types)}")

    for section in pe.sections:
        name = section.Name.rstrip(b"\0").decode(errors="replace")
        check(not (section.IMAGE_SCN_MEM_WRITE and section.IMAGE_SCN_MEM_EXECUTE),
              f"section {name} is both writable and executable")

    check_versions(optional, sys.argv[2])

    debug = directories[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_DEBUG"]]
    check(debug.VirtualAddress == 0 and debug.Size == 0, "the image has a debug directory")
    check(header.TimeDateStamp == 0, f"the link time {header.TimeDateStamp:#x} is recorded")

    for failure in failures:
        print("FAIL:", failure)
    if failures:
        return 1
    print(f"ok: i386 PE32 console program importing from {', '.join(imported)}; "
          f"{len(flags)} flags, relocation table of {relocations.Size} bytes, "
          f"{len(pe.sections)} sections none writable and executable, no debug directory, "
          "time stamp 0, OS and subsystem versions as the README says")
    return 0


if __name__ == "__main__":
    sys.exit(main())
