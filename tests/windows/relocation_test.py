#!/usr/bin/python3
"""Zendrel.exe's relocation table names every address in the image.

   relocation_test.py BUILD_DIR

BUILD/other-base/Zendrel.exe is the same objects linked at another base, so
the linker itself wrote each of its addresses. This rebases BUILD/Zendrel.exe
through its own relocation table to that base, as a loader does, into
BUILD/rebased/Zendrel.exe (which the end-to-end tests then run), and the two
must be the same bytes: an address the table misses, or one it names
wrongly, shows as a difference, on every path of the program whether a test
runs it or not.
"""

import os
import sys

import pefile

HIGHLOW = pefile.RELOCATION_TYPE["IMAGE_REL_BASED_HIGHLOW"]
ABSOLUTE = pefile.RELOCATION_TYPE["IMAGE_REL_BASED_ABSOLUTE"]


def rebase(image, base):
    """Applies every fixup of IMAGE (a pefile.PE) for BASE; returns their count."""
    relocations = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]
    image.parse_data_directories(directories=[relocations])
    blocks = getattr(image, "DIRECTORY_ENTRY_BASERELOC", [])
    if not blocks:
        raise SystemExit("rebase: the image has no relocation table")
    distance = base - image.OPTIONAL_HEADER.ImageBase
    count = 0
    for block in blocks:
        for entry in block.entries:
            if entry.type == ABSOLUTE:
                continue  # pads a block to four bytes
            if entry.type != HIGHLOW:
                raise SystemExit(f"rebase: relocation type {entry.type} at {entry.rva:#x} "
                                 "is not one a 32-bit image uses")
            address = image.get_dword_at_rva(entry.rva)
            if address is None:
                raise SystemExit(f"rebase: fixup at {entry.rva:#x} lies outside the file")
            image.set_dword_at_rva(entry.rva, (address + distance) & 0xFFFFFFFF)
            count += 1
    image.OPTIONAL_HEADER.ImageBase = base
    return count


def write_rebased(source, copy, base):
    """Writes SOURCE rebased to BASE into COPY; returns (old base, fixups applied)."""
    image = pefile.PE(source, fast_load=True)
    old_base = image.OPTIONAL_HEADER.ImageBase
    count = rebase(image, base)
    rebased = pefile.PE(data=bytes(image.write()), fast_load=True)
    rebased.OPTIONAL_HEADER.CheckSum = rebased.generate_checksum()
    os.makedirs(os.path.dirname(os.path.abspath(copy)), exist_ok=True)
    rebased.write(copy)
    return old_base, count


def describe(image, offset):
    """Where a file offset lies: its address relative to the base, and the section."""
    rva = image.get_rva_from_offset(offset)
    section = image.get_section_by_offset(offset)
    name = section.Name.rstrip(b"\0").decode() if section else "headers"
    return f"offset {offset:#x} (rva {rva:#x}, {name})" if rva is not None else f"offset {offset:#x}"


def main():
    build = os.path.abspath(sys.argv[1])
    source = os.path.join(build, "Zendrel.exe")
    linked_path = os.path.join(build, "other-base", "Zendrel.exe")
    copy = os.path.join(build, "rebased", "Zendrel.exe")

    linked = pefile.PE(linked_path, fast_load=True)
    base = linked.OPTIONAL_HEADER.ImageBase
    old_base, count = write_rebased(source, copy, base)
    if base == old_base:
        print(f"FAIL: {linked_path} has the same base {base:#x} as Zendrel.exe; "
              "the comparison would prove nothing")
        return 1

    with open(copy, "rb") as file:
        rebased = file.read()
    with open(linked_path, "rb") as file:
        expected = file.read()
    if rebased != expected:
        differing = [i for i in range(min(len(rebased), len(expected)))
                     if rebased[i] != expected[i]]
        print(f"FAIL: Zendrel.exe rebased to {base:#x} through its relocation table differs "
              f"from the program linked there: sizes {len(rebased)} and {len(expected)}, "
              f"{len(differing)} differing bytes")
        for offset in differing[:10]:
            print(f"  {describe(linked, offset)}: {rebased[offset]:#04x}, linked {expected[offset]:#04x}")
        return 1
    print(f"ok: {count} fixups take Zendrel.exe from {old_base:#x} to {base:#x}, "
          f"byte for byte the program linked there ({len(rebased)} bytes)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
