#!/usr/bin/env python3
"""flashmac on a real Linux MTD stack: the device binary on an emulated
MIPS Malta board, against block2mtd partitions over drives whose images
stay on the host (two erase sizes, short and boundary-sized partitions)
and an mtdram device. Checks stdout byte for byte, stderr, the exit status,
the partition's contents inside the guest after each case, the image files
byte for byte from the host, and a second boot on the same images.

usage: board_test.py --binary FLASHMAC --sysroot DIR --work DIR
"""
import argparse
import hashlib
import sys
from dataclasses import dataclass
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "scripts" / "board"))
import board  # noqa: E402

OFF = 0xE000
KiB = 1024
ZEROS = b"00:00:00:00:00:00"

# (drive, erase size, partition sizes); mtd numbers follow this order.
LAYOUT = [
    ("a", 64 * KiB, [128 * KiB, 1024 * KiB, 64 * KiB, 128 * KiB]),
    ("b", 4 * KiB, [60 * KiB, 0xE000, 32 * KiB, 128 * KiB]),
]
MTDRAM = 8  # the mtdram device: 128 KiB, 64 KiB erase blocks
MTDRAM_KIB = 128
UNTOUCHED = 3  # never written: failure cases point their nodes here


def mac(s):
    return bytes.fromhex(s.replace(":", ""))


def shown(rec):
    return ":".join(f"{b:02X}" for b in rec).encode()


def pattern(size, seed, record):
    data = bytearray((i * 131 + i // 251 + seed) & 0xFF for i in range(size))
    if size >= OFF + 6:
        data[OFF:OFF + 6] = record
    return data


@dataclass
class Case:
    name: str
    args: list
    out: bytes
    err: str = ""
    rc: int = 0
    prep: str = ""
    user: str = ""
    check: int = -1  # mtd whose contents are compared with the model after
    md5: str = None


class Model:
    """What each partition should hold, updated as the cases write."""

    def __init__(self):
        self.parts = {}
        n = 0
        for d, (_, _, sizes) in enumerate(LAYOUT):
            for p, size in enumerate(sizes):
                rec = bytes([0x02, 0x10 * n + 1, 0xA0 + n, 0x3C, 0xD5 + n, 0xF0 + n])
                self.parts[n] = pattern(size, 7 * n + 1, rec)
                n += 1
        self.parts[MTDRAM] = bytearray(b"\xff" * MTDRAM_KIB * KiB)

    def record(self, n):
        return bytes(self.parts[n][OFF:OFF + 6])

    def write(self, n, rec):
        self.parts[n][OFF:OFF + 6] = rec
        return shown(rec)


class Cases(list):
    """Cases in the order they run; each checked partition's expected
    digest is taken from the model as it stands right after the case."""

    def __init__(self, model):
        super().__init__()
        self.m = model

    def add(self, *cases):
        for k in cases:
            k.md5 = (hashlib.md5(self.m.parts[k.check]).hexdigest()
                     if k.check >= 0 else None)
            self.append(k)

    def read(self, n):
        self.add(Case(f"read mtd{n}", [str(n)], shown(self.m.record(n))))

    def write(self, n, text, record):
        out = self.m.write(n, mac(record))
        self.add(Case(f"write mtd{n} {text}", [str(n), text], out, check=n))


def first_boot_cases(m):
    c = Cases(m)
    c.read(0)
    for text, rec in [("02:1a:b3:4c:d5:f0", "021ab34cd5f0"),
                      ("A0-0B-1C-D2-3E-4F", "a00b1cd23e4f"),
                      ("0a1b2c3d4e5f", "0a1b2c3d4e5f"),
                      ("00:11-22aa:bb-cc", "001122aabbcc"),
                      (":fe:dc:ba:98:76:54", "fedcba987654"),
                      ("12:34:56:78:9a:bc:de:f0", "123456789abc")]:
        c.write(0, text, rec)
    c.read(0)
    # 1 MiB partition: all of it is mapped and locked for the write.
    c.read(1)
    c.write(1, "de:ad:be:ef:00:01", "deadbeef0001")
    # Exactly the read mapping's length.
    c.read(2)
    c.write(2, "64-00-00-00-00-02", "640000000002")
    # 60 KiB: the device ends inside the read mapping.
    c.read(4)
    c.write(4, "60:00:00:00:00:04", "600000000004")
    c.read(4)
    # 4 KiB erase blocks.
    c.read(7)
    c.write(7, "04-0b-00-00-00-07", "040b00000007")
    c.write(7, "040b0000ff07", "040b0000ff07")
    # Shorter than the record's end: nothing read or written, no crash.
    for n in (5, 6):
        blk, chr_ = f"/dev/mtdblock{n}", f"/dev/mtd{n}"
        c.add(Case(f"read short mtd{n}", [str(n)], ZEROS,
                   f"{blk} too small for MAC record\n", check=n),
              Case(f"write short mtd{n}", [str(n), "00:11:22:33:44:55"], ZEROS,
                   f"{chr_} too small for MAC record\n"
                   f"{blk} too small for MAC record\n", check=n))
    # A second MTD driver.
    c.read(MTDRAM)
    c.write(MTDRAM, "aa:bb:cc:dd:ee:08", "aabbccddee08")
    c.read(MTDRAM)

    # Failures, all pointed at a partition that must stay as it was.
    u = UNTOUCHED
    old = shown(m.record(u))

    def node(name, kind, major, minor):
        return f"mknod /dev/{name} {kind} {major} {minor}"

    def blk_u(name):
        return node(f"mtdblock{name}", "b", 31, u)

    chr_u = lambda name: node(f"mtd{name}", "c", 90, 2 * u)
    cut = "/dev/mtdblock" + "n" * (4095 - 13)
    c.read(u)
    c.add(
        Case("read, no block node", ["99"], ZEROS, "open /dev/mtdblock99 error\n"),
        Case("write, no nodes", ["99", "00:11:22:33:44:55"], ZEROS,
             "open /dev/mtdblock99 error\n"),
        Case("write, no character node", ["nochr", "00:11:22:33:44:55"], old,
             prep=blk_u("nochr"), check=u),
        Case("write, no block node", ["noblk", "00:11:22:33:44:55"], ZEROS,
             "open /dev/mtdblocknoblk error\n" * 2, prep=chr_u("noblk"), check=u),
        Case("write, MEMGETINFO fails", ["badinfo", "00:11:22:33:44:55"], old,
             "Could not get MTD device info from /dev/mtdbadinfo\n",
             prep=node("mtdbadinfo", "c", 1, 3) + "; " + blk_u("badinfo"), check=u),
        Case("read, read-only node for a non-root user", ["perm"], ZEROS,
             "open /dev/mtdblockperm error\n", user="nobody",
             prep=f"{chr_u('perm')}; {blk_u('perm')}; "
                  "chmod 644 /dev/mtdperm /dev/mtdblockperm", check=u),
        Case("write, read-only nodes for a non-root user",
             ["perm", "00:11:22:33:44:55"], ZEROS,
             "open /dev/mtdblockperm error\n", user="nobody", check=u),
        Case("read, empty partition name", [""], old, prep=blk_u("")),
        Case("read, 5000-byte partition name", ["n" * 5000], ZEROS,
             f"open {cut} error\n"),
        Case("write, 5000-byte partition name", ["n" * 5000, "00:11:22:33:44:55"],
             ZEROS, f"open {cut} error\n"),
        Case("no arguments", [], b"", check=u),
        Case("three arguments", [str(u), "00:11:22:33:44:55", "x"], b"", check=u),
    )
    for text in ["00:11:22:33:44:5", "0x001122334455", "00::11:22:33:44:55", "",
                 "g0:11:22:33:44:55", "00 11 22 33 44 55"]:
        c.add(Case(f"rejected {text!r}", [str(u), text], b"",
                   f"invalid MAC address: {text}\n", rc=1, check=u))
    return c


def second_boot_cases(m):
    # What was written survives a power cycle; what was not is unchanged.
    c = Cases(m)
    for n in (0, 1, 2, 3, 4, 7):
        c.add(Case(f"after power cycle, mtd{n}", [str(n)], shown(m.record(n)),
                   check=n))
    return c


def script(cases):
    lines = []
    for i, k in enumerate(cases):
        cmd = board.quote(["flashmac"] + k.args)
        if k.user:
            cmd = f"su {k.user} -s /bin/sh -c {board.quote([cmd])}"
        lines += [k.prep, f"echo '@case {i}'", f"{cmd} >o 2>e; echo \"@rc $?\"",
                  "echo \"@out $(od -An -v -tx1 o | tr -d ' \\n')\"",
                  "echo \"@err $(od -An -v -tx1 e | tr -d ' \\n')\""]
        if k.check >= 0:
            lines.append(f"echo \"@md5 $(md5sum < /dev/mtdblock{k.check} | cut -d' ' -f1)\"")
    return "\n".join(lines) + "\n"


def parse(results):
    got = {}
    for chunk in results.split("@case ")[1:]:
        head, _, rest = chunk.partition("\n")
        fields = {}
        for line in rest.splitlines():
            if line.startswith("@"):
                key, _, val = line[1:].partition(" ")
                fields[key] = val
        got[int(head)] = fields
    return got


class Checker:
    def __init__(self):
        self.passed = self.failed = 0

    def expect(self, what, ok, detail=""):
        if ok:
            self.passed += 1
        else:
            self.failed += 1
            print(f"FAIL {what} {detail}"[:2000])

    def cases(self, cases, results):
        got = parse(results)
        for i, k in enumerate(cases):
            g = got.get(i)
            if g is None:
                self.expect(k.name, False, "did not run")
                continue
            out, err = bytes.fromhex(g.get("out", "")), bytes.fromhex(g.get("err", ""))
            want = (k.out, k.err.encode(), k.rc)
            have = (out, err, int(g.get("rc", "-1")))
            self.expect(k.name, want == have, f"\n  want {want!r}\n  got  {have!r}")
            if k.check >= 0:
                self.expect(f"{k.name}: mtd{k.check} contents",
                            g.get("md5") == k.md5)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--binary", required=True)
    ap.add_argument("--sysroot", required=True)
    ap.add_argument("--work", required=True)
    a = ap.parse_args()

    work = Path(a.work)
    b = board.Board(work, a.sysroot, {"/usr/bin/flashmac": a.binary})
    drives = [board.Drive(work / f"flash-{name}.img", erase, sizes)
              for name, erase, sizes in LAYOUT]
    m = Model()
    n = 0
    for d in drives:
        d.create([bytes(m.parts[n + i]) for i in range(len(d.sizes))])
        n += len(d.sizes)
    chk = Checker()
    for boot, make in (("first boot", first_boot_cases),
                       ("second boot", second_boot_cases)):
        cases = make(m)
        results = b.run(drives, script(cases), mtdram=(MTDRAM_KIB, 64))
        print(f"{boot}: {len(cases)} cases, {b.boot_seconds:.1f} s")
        chk.cases(cases, results)
        # From the host: every partition holds exactly what the model says.
        n = 0
        for d in drives:
            for i in range(len(d.sizes)):
                chk.expect(f"{boot}: image of mtd{n}", d.partition(i) == m.parts[n])
                n += 1
    print(f"{chk.passed} passed, {chk.failed} failed")
    sys.exit(1 if chk.failed else 0)


if __name__ == "__main__":
    main()
