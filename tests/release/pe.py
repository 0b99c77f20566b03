"""Reads the few PE fields the release tests check."""

import struct


def header_offset(image):
    """Offset of the "PE\\0\\0" signature; ValueError when this is no PE image."""
    if image[:2] != b"MZ" or len(image) < 0x40:
        raise ValueError("no MZ header")
    offset = struct.unpack_from("<I", image, 0x3C)[0]
    if image[offset:offset + 4] != b"PE\0\0":
        raise ValueError("no PE signature")
    return offset


def time_stamp(image):
    """TimeDateStamp of the COFF file header."""
    return struct.unpack_from("<I", image, header_offset(image) + 8)[0]


def fixed_file_version(image):
    """FileVersion of the version record's fixed part, as "a.b.c.d"."""
    # VS_FIXEDFILEINFO starts with its signature, then the structure version,
    # then the file version as two 32-bit halves.
    at = image.find(struct.pack("<I", 0xFEEF04BD))
    if at < 0:
        raise ValueError("no version record")
    high, low = struct.unpack_from("<II", image, at + 8)
    return f"{high >> 16}.{high & 0xFFFF}.{low >> 16}.{low & 0xFFFF}"
