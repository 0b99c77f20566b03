#!/usr/bin/env python3
"""Zendrel.exe, version record included, fits in 7168 bytes.

   size_test.py BUILD_DIR
"""

import os
import sys

SIZE_LIMIT = 7168


def main():
    size = os.path.getsize(os.path.join(sys.argv[1], "Zendrel.exe"))
    if size > SIZE_LIMIT:
        print(f"FAIL: Zendrel.exe is {size} bytes, over the limit of {SIZE_LIMIT}")
        return 1
    print(f"ok: Zendrel.exe is {size} bytes, limit {SIZE_LIMIT}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
