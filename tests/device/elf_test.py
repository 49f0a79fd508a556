#!/usr/bin/env python3
"""Checks that the device binary is what the board can run and what fits
its flash: 32-bit little-endian MIPS32r2, soft-float, musl's loader, only
libc.so needed (no C++ runtime), stripped, and within the size budget.

usage: elf_test.py READELF BINARY MAX_BYTES [--static]
"""
import os
import re
import subprocess
import sys

INTERP = "/lib/ld-musl-mipsel-sf.so.1"


def main():
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    readelf, binary, budget = sys.argv[1], sys.argv[2], int(sys.argv[3])
    static = "--static" in sys.argv[4:]

    def elf(*flags):
        return subprocess.run([readelf, "-W", *flags, binary], check=True,
                              capture_output=True, text=True).stdout

    header, segments, sections = elf("-h"), elf("-l"), elf("-S")
    dynamic, attributes = elf("-d"), elf("-A")
    size = os.path.getsize(binary)
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.*)\]", dynamic)
    interp = re.search(r"Requesting program interpreter: (.*)\]", segments)

    checks = [
        ("32-bit", re.search(r"Class:\s+ELF32\b", header)),
        ("little-endian", re.search(r"Data:.*little endian", header)),
        ("MIPS", re.search(r"Machine:\s+MIPS R3000", header)),
        ("MIPS32r2", re.search(r"Flags:.*\bmips32r2\b", header)),
        ("o32", re.search(r"Flags:.*\bo32\b", header)),
        ("soft float", re.search(r"FP ABI: Soft float", attributes)),
        ("stripped", ".symtab" not in sections and ".debug" not in sections),
        (f"at most {budget} bytes (is {size})", size <= budget),
    ]
    if static:
        checks += [("no interpreter", interp is None),
                   ("no shared libraries", needed == [])]
    else:
        checks += [(f"interpreter {INTERP}", interp and interp.group(1) == INTERP),
                   (f"needs only libc.so (needs {needed})", needed == ["libc.so"])]

    failed = 0
    for what, ok in checks:
        print(("ok   " if ok else "FAIL ") + what)
        failed += not ok
    print(f"{len(checks) - failed} passed, {failed} failed")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
