#!/usr/bin/python3
"""Writes a copy of a PE image rebased through its own relocation table.

   rebase.py IMAGE COPY [BASE]

Does what a loader does when the image cannot have its preferred base: adds
the distance to the new base to every address the relocation table names,
and records the new base. BASE is 0x10000000 unless given. The header
checksum is computed afresh, as the linker does. Run from the copy, an
address the table misses still points at the old base, where nothing is
mapped, and the program crashes.
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
    if base % 0x10000 != 0:
        raise SystemExit(f"rebase: {base:#x} is not a multiple of 64 KiB")
    image = pefile.PE(source, fast_load=True)
    old_base = image.OPTIONAL_HEADER.ImageBase
    count = rebase(image, base)
    rebased = pefile.PE(data=bytes(image.write()), fast_load=True)
    rebased.OPTIONAL_HEADER.CheckSum = rebased.generate_checksum()
    os.makedirs(os.path.dirname(os.path.abspath(copy)), exist_ok=True)
    rebased.write(copy)
    return old_base, count


def main():
    if len(sys.argv) not in (3, 4):
        raise SystemExit(__doc__)
    source, copy = sys.argv[1], sys.argv[2]
    base = int(sys.argv[3], 0) if len(sys.argv) == 4 else 0x10000000
    old_base, count = write_rebased(source, copy, base)
    print(f"rebase: {copy} at {base:#x} (from {old_base:#x}), {count} fixups applied")


if __name__ == "__main__":
    main()
