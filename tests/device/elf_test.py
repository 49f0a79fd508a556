#!/usr/bin/env python3
"""Checks that the device binary is what the board can run and what fits
its flash: 32-bit little-endian MIPS32r2, o32, soft-float, musl's loader,
only libc.so needed (no C++ runtime), no symbols, within the size budget,
and no FPU instruction anywhere in it. Everything but the last is read
from the ELF and program headers, which is all a loader reads: the device
presets strip the section headers too.

usage: elf_test.py BINARY MAX_BYTES [--static] [--disassemble OBJDUMP FILE]
                   [--documented ROW]
  FILE is the same binary before stripping (the disassembler needs its
  sections). ROW begins the row of docs/building.md's profile table that
  must give this binary's size.
"""
import os
import re
import struct
import subprocess
import sys

import documented

INTERP = "/lib/ld-musl-mipsel-sf.so.1"
PT_LOAD, PT_DYNAMIC, PT_INTERP, PT_MIPS_ABIFLAGS = 1, 2, 3, 0x70000003
DT_NEEDED, DT_STRTAB = 1, 5
EF_MIPS_ARCH_32R2, EF_MIPS_ABI_O32 = 0x70000000, 0x1000
FP_ABI_SOFT = 3
# An FPU register operand, or a branch on or move of the FPU's state.
FPU = re.compile(r"\$f[0-9]|\b(bc1[ft]l?|cfc1|ctc1)\b")


def read_elf(data):
    ident = data[:16]
    (_, machine, _, _, phoff, shoff, flags, _, phentsize, phnum,
     shentsize, shnum, _) = struct.unpack_from("<HHIIIIIHHHHHH", data, 16)
    phdrs = [struct.unpack_from("<IIIIIIII", data, phoff + i * phentsize)
             for i in range(phnum)]
    shdrs = [struct.unpack_from("<IIIIIIIIII", data, shoff + i * shentsize)
             for i in range(shnum)]
    return ident, machine, flags, phdrs, shdrs


def segment(data, phdrs, kind):
    p = next((p for p in phdrs if p[0] == kind), None)
    return None if p is None else data[p[1]:p[1] + p[4]]


def needed(data, phdrs):
    dyn = segment(data, phdrs, PT_DYNAMIC)
    if dyn is None:
        return []
    entries = [struct.unpack_from("<iI", dyn, i) for i in range(0, len(dyn), 8)]

    def offset(vaddr):  # a virtual address in the file, through PT_LOAD
        for t, off, va, _, filesz, *_ in phdrs:
            if t == PT_LOAD and va <= vaddr < va + filesz:
                return off + vaddr - va
        raise ValueError(f"address {vaddr:#x} not in the file")

    strtab = offset(next(v for t, v in entries if t == DT_STRTAB))
    return [data[strtab + v:data.index(b"\0", strtab + v)].decode()
            for t, v in entries if t == DT_NEEDED]


def main():
    args = sys.argv[1:]
    if len(args) < 2:
        sys.exit(__doc__)
    binary, budget = args[0], int(args[1])
    static = "--static" in args
    data = open(binary, "rb").read()
    ident, machine, flags, phdrs, shdrs = read_elf(data)
    abiflags = segment(data, phdrs, PT_MIPS_ABIFLAGS)
    fp_abi = abiflags[7] if abiflags else None
    interp = segment(data, phdrs, PT_INTERP)
    libs = needed(data, phdrs)
    size = os.path.getsize(binary)

    checks = [
        ("ELF, 32-bit, little-endian", ident[:6] == b"\x7fELF\x01\x01"),
        ("MIPS", machine == 8),
        ("MIPS32r2", flags & 0xF0000000 == EF_MIPS_ARCH_32R2),
        ("o32", flags & 0x0000F000 == EF_MIPS_ABI_O32),
        (f"soft float (FP ABI {fp_abi})", fp_abi == FP_ABI_SOFT),
        ("no symbol table", all(s[1] != 2 for s in shdrs)),
        (f"at most {budget} bytes (is {size})", size <= budget),
    ]
    if static:
        checks += [("no interpreter", interp is None),
                   (f"no shared libraries (needs {libs})", libs == [])]
    else:
        checks += [(f"interpreter {INTERP}", interp == INTERP.encode() + b"\0"),
                   (f"needs only libc.so (needs {libs})", libs == ["libc.so"])]
    if "--disassemble" in args:
        i = args.index("--disassemble")
        objdump, full = args[i + 1], args[i + 2]
        code = subprocess.run([objdump, "-d", full], check=True,
                              capture_output=True, text=True).stdout
        fpu = [line.strip() for line in code.splitlines() if FPU.search(line)]
        checks.append((f"no FPU instruction ({len(fpu)}: {fpu[:3]})", not fpu))

    if "--documented" in args:
        documented.check(lambda what, ok: checks.append((what, ok)),
                         args[args.index("--documented") + 1], size)

    failed = 0
    for what, ok in checks:
        print(("ok   " if ok else "FAIL ") + what)
        failed += not ok
    print(f"{len(checks) - failed} passed, {failed} failed")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
