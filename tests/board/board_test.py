#!/usr/bin/env python3
"""flashmac on a real Linux MTD stack: the device binary on an emulated
MIPS Malta board, against block2mtd partitions over drives whose images
stay on the host (two erase sizes, short and boundary-sized partitions),
an mtdram device, and two kinds of flash that really erase: the board's
CFI NOR chip (image on the host) and the NAND simulator with failing
erase blocks and pages, and, on a boot of its own, a drive with sectors
that fail every read. Each command is killed after CASE_SECONDS. Checks
stdout byte for byte, stderr, the exit status, the erases each case asked
of the kernel, the partition's contents inside the guest after each case,
the image files byte for byte from the host, and a second boot on the
same images. A boot with two network interfaces runs the boot helper
(flashmac-ifaddr) and its init script (with --openwrt, OpenWrt's too),
and checks the interfaces' addresses.
A factory boot runs flashmac-provision, its backups on a disk of their
own; then the power is cut during one of its writes, and the next boot
restores the backup.

usage: board_test.py --binary FLASHMAC --sysroot DIR --work DIR
"""
import argparse
import hashlib
import itertools
import os
import subprocess
import sys
import tempfile
from dataclasses import dataclass, replace
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "scripts" / "board"))
import board  # noqa: E402

OFF = 0xE000
KiB = 1024
ZEROS = b"00:00:00:00:00:00"
CASE_SECONDS = 20
SKIPPED = 77  # ctest's SKIP_RETURN_CODE

# (drive, erase size, partition sizes); mtd numbers follow this order.
LAYOUT = [
    ("a", 64 * KiB, [128 * KiB, 1024 * KiB, 64 * KiB, 128 * KiB]),
    ("b", 4 * KiB, [60 * KiB, 0xE000, 32 * KiB, 128 * KiB]),
]
MTDRAM = 8  # the mtdram device: 128 KiB, 64 KiB erase blocks
MTDRAM_KIB = 128
UNTOUCHED = 3  # never written: failure cases point their nodes here
# The NOR chip's writable partitions (64 KiB erase blocks): factory,
# config, spare; its read-only boot partition is mtd9.
NOR = {10: 1, 11: 2, 12: 3}  # mtd: partition index on the chip
# NAND simulator: 16 MiB, 512-byte pages, 16 KiB erase blocks, split into
# partitions of 8 blocks; the record lies in block 3 of each.
NAND_OK, NAND_WEAK_BLOCK, NAND_WEAK_PAGE, NAND_WORN = NAND = 13, 14, 15, 16
NAND_PART, NAND_ERASE, NAND_PAGE = 128 * KiB, 16 * KiB, 512


def nand_abs(n, offset, unit):
    """The chip-wide number of the block or page holding `offset` of mtd n."""
    return ((n - NAND[0]) * NAND_PART + offset) // unit


# The block under the record fails its second erase (a pattern fill is the
# first); the record's page fails its second programming likewise. Once
# filled, a NAND page inside the read's 64 KiB, not at the start of its
# 4 KiB page, fails every read (nandsim flips bits past what ECC mends).
NAND_WORN_AT = 0x4200
NANDSIM = ("first_id_byte=0x20 second_id_byte=0x73 parts=8,8,8,8 "
           f"weakblocks={nand_abs(NAND_WEAK_BLOCK, OFF, NAND_ERASE)}:1 "
           f"weakpages={nand_abs(NAND_WEAK_PAGE, OFF, NAND_PAGE)}:1 "
           f"gravepages={nand_abs(NAND_WORN, NAND_WORN_AT, NAND_PAGE)}:0")


# Every set of standard descriptors a caller may have closed: a device
# opened in the place of one would take what is printed there.
CLOSED = ["".join(c) for r in (1, 2, 3) for c in itertools.combinations("012", r)]
# Only descriptor 3 to be had: a command that holds two devices at once
# (the character device while the block device opens) fails.
ONE_FD = "-n 4"


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
    ulimit: str = ""  # limits the command runs under: "-l 4"
    closed: str = ""  # standard descriptors closed for the command: "02"
    check: int = -1  # mtd whose contents are compared with the model after
    erases: int = None  # erase requests the kernel saw during the command
    md5: str = None
    # Run cold (page caches dropped first): at most this many bytes may be
    # fetched from the flash (drive a's sectors read).
    fetch_max: int = None
    program: str = "flashmac"
    iface: tuple = None  # eth0's and eth1's addresses after the command


class Model:
    """What each partition should hold, updated as the cases write."""

    def __init__(self, sizes=None):
        """sizes: only these block2mtd partitions, numbered from 0;
        by default the full board."""
        self.parts = {}
        for n, size in enumerate([s for _, _, ss in LAYOUT for s in ss] if sizes is None
                                 else sizes):
            rec = bytes([0x02, 0x10 * n + 1, 0xA0 + n, 0x3C, 0xD5 + n, 0xF0 + n])
            self.parts[n] = pattern(size, 7 * n + 1, rec)
        if sizes is not None:
            return
        self.parts[MTDRAM] = bytearray(b"\xff" * MTDRAM_KIB * KiB)
        for n, i in NOR.items():
            size = board.NOR_PARTS[i][1]
            self.parts[n] = pattern(size, 5 * n, bytes([0x02, 0x4E, 0x4F, 0x52, 0, n]))
        for n in NAND:
            self.parts[n] = pattern(NAND_PART, 3 * n, bytes([0x02, 0x4E, 0x41, 0x4E, 0, n]))

    def record(self, n):
        return bytes(self.parts[n][OFF:OFF + 6])

    def write(self, n, rec):
        self.parts[n][OFF:OFF + 6] = rec
        return shown(rec)


def limited(ulimit):
    return f", ulimit {ulimit}" if ulimit else ""


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

    def read(self, n, erases=None, fetch_max=None, closed="", ulimit=""):
        self.add(Case(f"read mtd{n}" + (", cold" if fetch_max else "") + limited(ulimit),
                      [str(n)], shown(self.m.record(n)), erases=erases,
                      fetch_max=fetch_max, closed=closed, ulimit=ulimit))

    def write(self, n, text, record, erases=None, fetch_max=None, closed="", ulimit=""):
        out = self.m.write(n, mac(record))
        self.add(Case(f"write mtd{n} {text}" + (", cold" if fetch_max else "")
                      + limited(ulimit), [str(n), text], out, check=n, erases=erases,
                      fetch_max=fetch_max, closed=closed, ulimit=ulimit))

    def closing(self, *cases):
        """The cases again, with each set of standard descriptors closed."""
        self.add(*(replace(k, name=f"{k.name}, fds {c} closed", closed=c)
                   for c in CLOSED for k in cases))


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
    # Started with standard descriptors closed, as init systems and scripts
    # may: the same record, and the same output where it is still open.
    for i, closed in enumerate(CLOSED):
        c.read(0, closed=closed)
        c.write(0, f"02:c1:05:ed:00:{i:02x}", f"02c105ed00{i:02x}", closed=closed)
    # Cold, as at boot: a read fetches from the flash only the 64 KiB it
    # maps, and a write the partition once, its read-back included.
    # busybox's hexdump, which reads one page, shows what the count sees.
    for n, size in ((0, 128 * KiB), (1, 1024 * KiB)):
        c.read(n, fetch_max=64 * KiB)
        c.add(Case(f"hexdump mtd{n}, cold", ["-v", "-n", "6", "-s", str(OFF), "-e",
                                              '5/1 "%02X:" 1/1 "%02X"',
                                              f"/dev/mtdblock{n}"],
                   shown(m.record(n)), program="hexdump", fetch_max=4 * KiB))
    # 1 MiB partition: all of it is mapped and locked for the write.
    c.write(1, "de:ad:be:ef:00:01", "deadbeef0001", fetch_max=1024 * KiB)
    c.read(1)
    # Exactly the read mapping's length.
    c.read(2)
    c.write(2, "64-00-00-00-00-02", "640000000002")
    # 60 KiB: the device ends inside the read mapping.
    c.read(4, ulimit=ONE_FD)
    c.write(4, "60:00:00:00:00:04", "600000000004", ulimit=ONE_FD)
    c.read(4)
    # 4 KiB erase blocks.
    c.read(7)
    c.write(7, "04-0b-00-00-00-07", "040b00000007")
    c.write(7, "040b0000ff07", "040b0000ff07")
    # Shorter than the record's end: nothing read or written, no crash.
    for n in (5, 6):
        blk, chr_ = f"/dev/mtdblock{n}", f"/dev/mtd{n}"
        c.add(Case(f"read short mtd{n}", [str(n)], ZEROS,
                   f"{blk} too small for MAC record\n", check=n, ulimit=ONE_FD),
              Case(f"write short mtd{n}", [str(n), "00:11:22:33:44:55"], ZEROS,
                   f"{chr_} too small for MAC record\n"
                   f"{blk} too small for MAC record\n", check=n, ulimit=ONE_FD))
    # A second MTD driver.
    c.read(MTDRAM)
    c.write(MTDRAM, "aa:bb:cc:dd:ee:08", "aabbccddee08")
    c.read(MTDRAM)

    # Flash that erases. A changed record costs one erase of the block
    # around it; a read or the address already there costs none.
    for n in (10, 11, NAND_OK):
        c.read(n, erases=0, ulimit=ONE_FD)
        c.write(n, shown(m.record(n)).decode(), m.record(n).hex(), erases=0,
                ulimit=ONE_FD)
        c.write(n, f"02:ee:00:00:{n:02x}:01", f"02ee0000{n:02x}01", erases=1,
                ulimit=ONE_FD)
        c.read(n, erases=0)
    # The block under the record fails its next erase: reads and unchanged
    # writes must not spend it. The failed erase leaves the block blank, and
    # the read-back shows that, not the address asked for.
    n = NAND_WEAK_BLOCK
    c.read(n, erases=0)
    c.write(n, shown(m.record(n)).decode().lower(), m.record(n).hex(), erases=0)
    blk = OFF // NAND_ERASE * NAND_ERASE
    m.parts[n][blk:blk + NAND_ERASE] = b"\xff" * NAND_ERASE
    c.add(Case(f"write mtd{n}, erase fails", [str(n), "02:ee:00:00:00:02"],
               shown(m.record(n)), f"sync /dev/mtdblock{n} error\n", check=n,
               erases=1))
    # Programming the record's page fails after the erase: the pages before
    # it and the record itself are programmed, the rest of the block blank.
    n = NAND_WEAK_PAGE
    m.write(n, mac("02ee00000003"))
    rest = range(OFF + NAND_PAGE, blk + NAND_ERASE)
    m.parts[n][rest.start:rest.stop] = b"\xff" * len(rest)
    c.add(Case(f"write mtd{n}, program fails", [str(n), "02:ee:00:00:00:03"],
               shown(m.record(n)), f"sync /dev/mtdblock{n} error\n", check=n,
               erases=1))
    # A worn NAND page that one byte of its 4 KiB page does not show: found
    # before the mapping (whose population would retry it forever), and
    # nothing erased.
    n = NAND_WORN
    c.add(Case(f"read mtd{n}, worn NAND page", [str(n)], ZEROS,
               f"read /dev/mtdblock{n} error\n", erases=0, ulimit=ONE_FD),
          Case(f"write mtd{n}, worn NAND page", [str(n), "02:ee:00:00:00:04"], ZEROS,
               f"read /dev/mtd{n} error\nread /dev/mtdblock{n} error\n", erases=0,
               ulimit=ONE_FD))

    # Failures, all pointed at a partition that must stay as it was.
    u = UNTOUCHED
    old = shown(m.record(u))

    def node(name, kind, major, minor):
        return f"mknod /dev/{name} {kind} {major} {minor}"

    def blk_u(name):
        return node(f"mtdblock{name}", "b", 31, u)

    chr_u = lambda name: node(f"mtd{name}", "c", 90, 2 * u)
    too_long = "/dev/mtdblocknnnnnnn...: name too long\n"
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
        # The size query fails first, and nothing else is opened.
        Case("write, MEMGETINFO fails, no block node", ["noinfo", "00:11:22:33:44:55"],
             ZEROS, "Could not get MTD device info from /dev/mtdnoinfo\n"
                    "open /dev/mtdblocknoinfo error\n", prep=node("mtdnoinfo", "c", 1, 3)),
        Case("read, read-only node for a non-root user", ["perm"], ZEROS,
             "open /dev/mtdblockperm error\n", user="nobody",
             prep=f"{chr_u('perm')}; {blk_u('perm')}; "
                  "chmod 644 /dev/mtdperm /dev/mtdblockperm", check=u),
        Case("write, read-only nodes for a non-root user",
             ["perm", "00:11:22:33:44:55"], ZEROS,
             "open /dev/mtdblockperm error\n", user="nobody", check=u),
        Case("read, partition the kernel marks read-only", ["9"], ZEROS,
             "mmap /dev/mtdblock9 error\n"),
        Case("read, empty partition name", [""], old, prep=blk_u("")),
        Case("read, 5000-byte partition name", ["n" * 5000], ZEROS, too_long),
        Case("write, 5000-byte partition name", ["n" * 5000, "00:11:22:33:44:55"],
             ZEROS, too_long),
        Case("no arguments", [], b"", check=u),
        Case("three arguments", [str(u), "00:11:22:33:44:55", "x"], b"", check=u),
    )
    # A user's `ulimit -l` of 4 KiB refuses the locked mappings: reported
    # while the block device is open, in whatever place it took. With no
    # descriptor above 2 to be had, nothing opens, and the report comes
    # after the device is let go.
    as_user = dict(user="nobody", ulimit="-l 4", check=u)
    no_fd = dict(ulimit="-n 3", check=u)
    refused = [
        Case("read, mapping refused", ["lim"], ZEROS, "mmap /dev/mtdblocklim error\n",
             prep=f"{chr_u('lim')}; {blk_u('lim')}; {blk_u('limb')}; "
                  "chmod 666 /dev/mtdlim /dev/mtdblocklim /dev/mtdblocklimb",
             **as_user),
        Case("read, mapping refused, no character node", ["limb"], ZEROS,
             "mmap /dev/mtdblocklimb error\n", **as_user),
        Case("write, mapping refused", ["lim", "00:11:22:33:44:55"], ZEROS,
             "mmap /dev/mtdblocklim error\n" * 2, **as_user),
        Case("read, descriptor limit 3", [str(u)], ZEROS,
             f"open /dev/mtdblock{u} error\n", **no_fd),
        Case("write, descriptor limit 3", [str(u), "00:11:22:33:44:55"], ZEROS,
             f"open /dev/mtdblock{u} error\n", **no_fd)]
    c.add(*refused)
    c.closing(*(replace(k, prep="") for k in refused))
    for text in ["00:11:22:33:44:5", "0x001122334455", "00::11:22:33:44:55", "",
                 "g0:11:22:33:44:55", "00 11 22 33 44 55"]:
        c.add(Case(f"rejected {text!r}", [str(u), text], b"",
                   f"invalid MAC address: {text}\n", rc=1, check=u))
    return c


# A drive whose flash has worn pages: each partition has one sector that
# fails every read. The read locks 64 KiB, the write the whole partition;
# a page that fails inside either is found before the mapping, reported,
# and nothing is written. Partitions: (where the bad sector is, what reads).
FAULTY = [(OFF + 0x200, "neither"),   # the record's own page
          (0x4000, "neither"),        # another page of the read's 64 KiB
          (0x18000, "read")]          # past the read's 64 KiB


def faulty_boot_cases(m):
    c = Cases(m)
    for n, (_, ok) in enumerate(FAULTY):
        old = shown(m.record(n))
        # The write finds the page through the character device, the read
        # and the read-back name the block device they read.
        out, read_err = (old, "") if ok == "read" else (ZEROS, f"read /dev/mtdblock{n} error\n")
        c.add(Case(f"read mtd{n}, unreadable page", [str(n)], out, read_err),
              Case(f"write mtd{n}, unreadable page", [str(n), "02:ba:d0:00:00:01"],
                   out, f"read /dev/mtd{n} error\n" + read_err),
              Case(f"read mtd{n} again", [str(n)], out, read_err))
    # Reported while the devices are open (the record's own page), with
    # standard descriptors closed; the images are compared after the boot.
    c.closing(*c[:2])
    return c


# The boot helper, on a boot with a network interface: block2mtd
# partitions holding records no interface may carry, and the NOR chip's
# (mtd4 on, "factory" and "config") holding unicast ones.
IF_RECORDS = ["ffffffffffff", "01005e0000fb", None, "000000000000"]  # None: too short
IF_SIZES = [128 * KiB, 128 * KiB, 32 * KiB, 128 * KiB]
IF_NOR = {5: 1, 6: 2}  # mtd: partition index on the chip
# Their records: no locally administered bit; config's last three bytes
# all FF, where an offset carries.
IF_NOR_RECORDS = {5: "001fadd40005", 6: "001fadffffff"}
# QEMU's addresses for the board's PCnet interface and a second one.
OWN, OWN1 = "52:54:00:12:34:56", "52:54:00:12:34:57"
SECOND_NIC = ("-nic", "user,model=pcnet,restrict=on")
SETTINGS = "/etc/default/flashmac-ifaddr"
# Both interfaces down, with their own addresses again, and no settings.
RESET = (f"rm -f {SETTINGS}; ip link set eth0 down; ip link set eth0 address {OWN}; "
         f"ip link set eth1 down; ip link set eth1 address {OWN1}")


def derived(rec, add=0, la=False):
    """The address an interface given +add (and :la) gets from rec."""
    low = (int.from_bytes(rec[3:], "big") + add) % (1 << 24)
    return bytes([rec[0] | (2 if la else 0), *rec[1:3]]) + low.to_bytes(3, "big")


def interface_boot_cases(m, openwrt_init=False):
    c = Cases(m)

    def refused(name, args, err, prep="", wait="0", **kw):
        return Case(name, ["-w", wait, *args], b"", f"flashmac-ifaddr: {err}\n", rc=1,
                    prep=f"{RESET}; {prep}", iface=(OWN, OWN1), program="flashmac-ifaddr",
                    **kw)

    def sets(name, args, n, prep=RESET, program="flashmac-ifaddr", out=b""):
        rec = shown(m.record(n))
        return Case(name, args, out + rec + b"\n", prep=prep, check=n, program=program,
                    iface=(rec.decode().lower(), OWN1))

    def several(name, args, want, *errs, n=5, prep=RESET, program="flashmac-ifaddr",
                out=b"", logged=False):
        """want: {interface: the address it gets}, in the order given; the
        interfaces not in it keep their own. logged: every line goes to
        stderr, tagged, as OpenWrt's logger -s copies it."""
        lines = b"".join(i.encode() + b" " + shown(a) + b"\n" for i, a in want.items())
        err = "".join(f"flashmac-ifaddr: {e}\n" for e in errs)
        if logged:
            out, lines, err = b"", b"", "".join(
                f"flashmac-ifaddr: {line}\n" for line in lines.decode().splitlines()) + err
        has = [shown(want[i]).decode().lower() if i in want else own
               for i, own in (("eth0", OWN), ("eth1", OWN1))]
        return Case(name, args, out + lines, err, rc=1 if errs else 0, prep=prep,
                    program=program, check=n, iface=tuple(has))

    b2m = "block2mtd: /dev/vda2"
    refusals = [
        refused("no such partition", ["nosuch", "eth0"],
                'no partition named "nosuch" in /proc/mtd'),
        refused("erased record", ["0", "eth0"],
                "mtd0 holds no address (erased: FF:FF:FF:FF:FF:FF)", check=0),
        refused("multicast record, by its name", [b2m, "eth0"],
                f"01:00:5E:00:00:FB from mtd1 ({b2m}) is a multicast address", check=1),
        refused("failed read", ["2", "eth0"],
                "nothing read from mtd2: /dev/mtdblock2 too small for MAC record", check=2),
        refused("all-zero record", ["3", "eth0"], "mtd3 holds no address (all zeros)",
                check=3),
        refused("no such interface", ["factory", "eth9"], "no network interface eth9",
                check=5),
        # The interface is up: pcnet32 refuses, and the helper leaves it up.
        refused("driver refuses while up", ["config", "eth0"],
                f"eth0 refused {shown(m.record(6)).decode()} while up (run before the "
                "network starts): ip: SIOCSIFHWADDR: Device or resource busy",
                prep="ip link set eth0 up", check=6)]
    setting = [sets("valid record, by name", ["factory", "eth0"], 5),
               sets("valid record, by number", ["6", "eth0"], 6),
               # As init runs it, with the default settings.
               sets("init script", ["start"], 5, program="/etc/init.d/S38flashmac-ifaddr",
                    out=b"Setting eth0 address from flash: ")]
    c.add(*refusals, *setting)
    c.add(sets("again, with eth0 up", ["factory", "eth0"], 5, prep="ip link set eth0 up"),
          # Init may start it before the flash's driver or node is there.
          refused("a partition that appears later", ["mtdram test device", "eth0"],
                  "mtd8 (mtdram test device) holds no address (erased: FF:FF:FF:FF:FF:FF)",
                  prep="(sleep 1; insmod /lib/modules/mtdram.ko total_size=128 "
                       "erase_size=64) &", wait="5"),
          sets("a node that appears later", ["factory", "eth0"], 5,
               prep=f"{RESET}; rm /dev/mtdblock5; (sleep 1; mknod /dev/mtdblock5 b 31 5) &"))
    # Several interfaces from one record, each on its own.
    f, g = m.record(5), m.record(6)
    busy = "while up (run before the network starts): ip: SIOCSIFHWADDR: Device or resource busy"
    c.add(several("two interfaces, +1 carried across the last three bytes",
                  ["config", "eth0", "eth1+1"], {"eth0": g, "eth1": derived(g, 1)}, n=6),
          several("the locally administered bit, the largest offset",
                  ["factory", "eth0+2:la", "eth1+16777215"],
                  {"eth0": derived(f, 2, True), "eth1": derived(f, 16777215)}),
          several("one interface missing", ["-w", "0", "factory", "eth0", "eth9+1", "eth1+2"],
                  {"eth0": f, "eth1": derived(f, 2)}, "no network interface eth9"),
          several("one interface refusing", ["factory", "eth0+3", "eth1+4"],
                  {"eth0": derived(f, 3)},
                  f"eth1 refused {shown(derived(f, 4)).decode()} {busy}",
                  prep=f"{RESET}; ip link set eth1 up"),
          several("an offset past the last three bytes", ["factory", "eth0+16777216", "eth1"],
                  {"eth1": f}, "eth0: +16777216 is more than the last three bytes can add "
                               "(16777215)"),
          # A list in the settings that Buildroot's and Yocto's start-up
          # files read.
          several("init script, a list in its settings", ["start"],
                  {"eth0": derived(g, 0, True), "eth1": derived(g, 1)}, n=6,
                  prep=f"{RESET}; mkdir -p /etc/default; printf 'PARTITION=config\\n"
                       f"INTERFACE=\"eth0:la eth1+1\"\\n' > {SETTINGS}",
                  program="/etc/init.d/S38flashmac-ifaddr",
                  out=b"Setting addresses from flash:\n"))
    if openwrt_init:
        # OpenWrt's: the package's settings, turned on, with a second
        # interface in its list, read by OpenWrt's own shell library.
        c.add(several("OpenWrt's init script, a list in UCI", ["start"],
                      {"eth0": f, "eth1": derived(f, 1, True)},
                      prep=f"{RESET}; sed \"s/enabled '0'/enabled '1'/\" "
                           "/etc/config/flashmac.shipped > /etc/config/flashmac; "
                           "echo \"list interface 'eth1+1:la'\" >> /etc/config/flashmac",
                      program="/etc/init.d/flashmac", logged=True))
    # The init script's own progress line is not the helper's to keep.
    c.closing(*refusals, *setting[:2])
    return c


# The factory's checked write (flashmac-provision), on a boot of its own:
# partitions of the NOR chip and the NAND simulator, which erase, hold the
# records in calibration-like data; a disk holding a minix file system,
# mounted on /store, is the station's storage, where backups go.
F_BOOT, F_EMPTY, F_TAKEN, F_ZEROS = 0, 1, 2, 3  # the NOR chip: boot (read-only), ...
F_NAND, F_NAND_WEAK = 4, 5
F_NOR = {F_EMPTY: 1, F_TAKEN: 2, F_ZEROS: 3}  # mtd: partition index on the chip
F_NANDSIM = ("first_id_byte=0x20 second_id_byte=0x73 parts=8,8 "
             f"weakblocks={(NAND_PART + OFF) // NAND_ERASE}:1")
TAKEN = "02:4E:4F:52:00:03"
PROVISION = "flashmac-provision"
# Changes a byte beside the record while the write runs, as a second
# writer or a flaky chip would; the command under test runs beside it.
MEDDLER = """#!/bin/sh
[ $# -eq 2 ] && printf Z | dd of=/dev/mtdblock$1 bs=1 seek=$((0xE010)) conv=notrunc,fsync 2>/dev/null
exec /usr/bin/flashmac "$@"
"""


def factory_boot_cases(m):
    c = Cases(m)

    # Each case is added as it comes, so that its partition's digest is
    # the model's right after it.
    def refused(name, args, err, check=-1, **kw):
        c.add(Case(name, args, b"", f"{PROVISION}: {err}\n", rc=1, program=PROVISION,
                   check=check, erases=0, **kw))

    def writes(name, args, n, rec, erases=1):
        out = m.write(n, mac(rec))
        c.add(Case(name, args + [rec], out + b"\n", program=PROVISION, check=n,
                   erases=erases))

    # Refused before any device is opened: the partition does not exist.
    for text, why in [("00:11:22:33:44:5", "invalid MAC address: 00:11:22:33:44:5"),
                      ("00:11:22:33:44:55:66", "invalid MAC address: 00:11:22:33:44:55:66"),
                      ("0x001122334455", "invalid MAC address: 0x001122334455"),
                      ("00-00-00-00-00-00", "00:00:00:00:00:00 is no address (all zeros)"),
                      ("ff:ff:ff:ff:ff:ff", "FF:FF:FF:FF:FF:FF is no address (erased: "
                                            "FF:FF:FF:FF:FF:FF)"),
                      ("01005e000001", "01:00:5E:00:00:01 is a multicast address")]:
        refused(f"provision refuses {text!r}", ["-b", "/store/x", "nosuch", text], why)
    empty, taken = f"mtd{F_EMPTY} (factory)", f"mtd{F_TAKEN} (config)"
    refused("provision without a backup", ["factory", "02:aa:00:00:00:01"],
            f"no backup of the erase block around the record of {empty}: "
            "give -b FILE (or --no-backup)", check=F_EMPTY)
    refused("provision, backup in RAM", ["-b", "/tmp/f.bak", "factory", "02:aa:00:00:00:01"],
            "/tmp/f.bak would be in RAM, which a power cut clears", check=F_EMPTY)
    writes("provision an empty record", ["-b", "/store/factory.bak", "factory"], F_EMPTY,
           "02:AA:00:00:00:01")
    # The same again: nothing written, no backup needed (it exists).
    writes("provision the same again", ["-b", "/store/factory.bak", "factory"], F_EMPTY,
           "02:AA:00:00:00:01", erases=0)
    refused("provision over another address", ["-b", "/store/config.bak", "config",
                                               "02:aa:00:00:00:02"],
            f"{taken} already holds {TAKEN}: not replaced by 02:AA:00:00:00:02 "
            "(-f replaces it)", check=F_TAKEN)
    refused("provision, the backup exists", ["-f", "-b", "/store/factory.bak", "config",
                                             "02:aa:00:00:00:02"],
            "/store/factory.bak exists: restore it (-r) or move it away first",
            check=F_TAKEN)
    writes("provision over another address, -f", ["-f", "-b", "/store/config.bak",
                                                  "config"], F_TAKEN, "02:AA:00:00:00:02")
    writes("provision, --no-backup", ["--no-backup", str(F_ZEROS)], F_ZEROS,
           "02:AA:00:00:00:04")
    refused("provision, read-only partition", ["-b", "/store/boot.bak", "boot",
                                               "02:aa:00:00:00:05"],
            f"nothing read from mtd{F_BOOT} (boot): mmap /dev/mtdblock{F_BOOT} error")
    writes("provision on NAND", ["-b", "/store/nand.bak", str(F_NAND)], F_NAND,
           "02:AA:00:00:00:06")
    # The erase fails: the block is blank, and the command says so.
    n = F_NAND_WEAK
    blk = OFF // NAND_ERASE * NAND_ERASE
    first = next(i for i in range(blk, blk + NAND_ERASE) if m.parts[n][i] != 0xFF)
    m.parts[n][blk:blk + NAND_ERASE] = b"\xff" * NAND_ERASE
    c.add(Case("provision, the erase fails", ["-b", "/store/weak.bak", str(n),
                                              "02:aa:00:00:00:07"], b"",
               f"{PROVISION}: write to mtd{n} failed: the flash holds FF:FF:FF:FF:FF:FF: "
               f"sync /dev/mtdblock{n} error; the erase block changed at 0x{first:X}; "
               f"restore it: {PROVISION} -r /store/weak.bak {n}\n", rc=1, program=PROVISION,
               check=n, erases=1))
    # A byte beside the record changes during the write: caught, and the
    # backup taken before it puts the block back.
    before = bytes(m.parts[F_EMPTY])
    m.write(F_EMPTY, mac("02AA00000008"))
    m.parts[F_EMPTY][0xE010] = ord("Z")
    meddle = "/tmp/meddle/" + PROVISION
    c.add(Case("provision, a neighbour byte changes", ["-f", "-b", "/store/m.bak", "factory",
                                                       "02:aa:00:00:00:08"], b"",
               f"{PROVISION}: write to {empty} failed: the erase block changed at 0xE010; "
               f"restore it: {PROVISION} -r /store/m.bak factory\n", rc=1, program=meddle,
               prep=f"mkdir -p /tmp/meddle; cp /usr/bin/{PROVISION} /tmp/meddle/; "
                    "cp /meddler /tmp/meddle/flashmac; chmod +x /tmp/meddle/*",
               check=F_EMPTY, erases=2))
    # Restores that must change nothing.
    bad = [("a short file", "/store/short.bak",
            "head -c 66047 /store/m.bak > /store/short.bak",
            "/store/short.bak holds 65535 bytes of flash, not the 65536 saved"),
           ("a damaged file", "/store/bad.bak",
            "cp /store/m.bak /store/bad.bak; printf X | dd of=/store/bad.bak bs=1 seek=600 "
            "conv=notrunc 2>/dev/null",
            "/store/bad.bak is damaged (its md5 differs)"),
           ("another partition's", "/store/config.bak", "",
            "/store/config.bak holds a block of config (65536 bytes), not of factory "
            "(262144 bytes)"),
           ("no backup", "/store/none.bak", "", "no backup /store/none.bak")]
    for what, f, prep, err in bad:
        refused(f"restore refuses {what}", ["-r", f, "factory"], err, prep=prep,
                check=F_EMPTY)
    refused("restore refuses a read-only partition", ["-r", "/store/m.bak", "boot"],
            f"mtd{F_BOOT} (boot) is read-only")
    m.parts[F_EMPTY][:] = before
    c.add(Case("restore", ["-r", "/store/m.bak", "factory"], shown(m.record(F_EMPTY)) + b"\n",
               program=PROVISION, check=F_EMPTY, erases=1),
          Case("restore again", ["-r", "/store/m.bak", "factory"],
               shown(m.record(F_EMPTY)) + b"\n", program=PROVISION, check=F_EMPTY, erases=0))
    return c


def minix(size):
    """A fresh minix file system of `size` bytes, made by the host's mkfs."""
    with tempfile.NamedTemporaryFile() as f:
        f.truncate(size)
        subprocess.run(["mkfs.minix", f.name], check=True, stdout=subprocess.DEVNULL)
        return Path(f.name).read_bytes()


def factory(b, work, chk):
    """The factory's checked write, then a power cut during one and the
    restore on the next boot."""
    store = board.Disk(work / "store.img")
    store.create(minix(1024 * KiB))
    nor = board.Nor(work / "factory-nor.img")
    m = Model([])
    for n, i in F_NOR.items():
        m.parts[n] = pattern(board.NOR_PARTS[i][1], 11 * n, mac("ffffffffffff"))
    m.write(F_TAKEN, mac(TAKEN))
    m.write(F_ZEROS, bytes(6))
    for n in (F_NAND, F_NAND_WEAK):
        m.parts[n] = pattern(NAND_PART, 13 * n, mac("ffffffffffff"))
    nor.create([None] + [bytes(m.parts[n]) for n in F_NOR])
    fill = {n: bytes(m.parts[n]) for n in (F_NAND, F_NAND_WEAK)}
    mount = "mkdir /store; mount -t minix /dev/vda /store\n"
    cases = factory_boot_cases(m)
    results = b.run([store], mount + script(cases, fill), nor=nor, nandsim=F_NANDSIM,
                    files={"/meddler": MEDDLER, **{f"/nand{n}": d for n, d in fill.items()}},
                    timeout=60 + CASE_SECONDS * len(cases))
    print(f"factory: {len(cases)} cases, {b.boot_seconds:.1f} s")
    chk.cases(cases, results)
    for n, i in F_NOR.items():
        chk.expect(f"factory: NOR image of mtd{n}", nor.partition(i) == m.parts[n])

    # The power is cut while the kernel reprograms the record's erase block
    # (watched for in the chip's image); the next boot restores the backup.
    off, size = board.NOR_PARTS[F_NOR[F_EMPTY]]
    blk = off + OFF // 0x10000 * 0x10000
    old = bytes(m.parts[F_EMPTY])
    new = bytearray(old)
    new[OFF:OFF + 6] = mac("02aa00000009")
    olds, news = old[blk - off:][:0x10000], bytes(new[blk - off:][:0x10000])

    def torn():
        with open(nor.path, "rb") as f:
            now = os.pread(f.fileno(), 0x10000, blk)
        return now not in (olds, news)

    for attempt in range(1, 4):
        nor.create([None] + [old, bytes(m.parts[F_TAKEN]), bytes(m.parts[F_ZEROS])])
        cut = b.run([store], mount + f"rm -f /store/cut.bak\n{PROVISION} -f -b /store/cut.bak "
                    "factory 02:aa:00:00:00:09\n", nor=nor, cut=torn)
        if cut is None and torn():
            break
        print(f"power cut, try {attempt}: the write was not caught in its erase window")
    else:
        chk.expect("power cut: a cut landed in the erase window", False)
        return
    print(f"power cut after {b.boot_seconds:.1f} s: the record's erase block was torn")
    out = b.run([store], mount + f"{PROVISION} -r /store/cut.bak factory; echo \"@rc $?\"\n",
                nor=nor)
    chk.expect("power cut: the restore prints the record and exits 0",
               f"{shown(old[OFF:OFF + 6]).decode()}\n@rc 0" in out, out[-500:])
    chk.expect("power cut: the restore leaves the partition as before the write",
               nor.partition(F_NOR[F_EMPTY]) == old)


def second_boot_cases(m):
    # What was written survives a power cycle; what was not is unchanged.
    c = Cases(m)
    for n in (0, 1, 2, 3, 4, 7, *NOR):
        c.add(Case(f"after power cycle, mtd{n}", [str(n)], shown(m.record(n)),
                   check=n))
    return c


def script(cases, fill):
    # The NAND simulator starts blank on every boot: fill it first (the
    # second boot does not look at it).
    lines = [f"dd if=/nand{n} of=/dev/mtdblock{n} bs=16k conv=fsync 2>/dev/null"
             for n in fill]
    for i, k in enumerate(cases):
        cmd = board.quote([k.program] + k.args)
        if k.ulimit:
            cmd = f"ulimit {k.ulimit}; exec {cmd}"
        if k.user or k.ulimit:
            cmd = (f"su {k.user} -s " if k.user else "") + f"/bin/sh -c {board.quote([cmd])}"
        # A command that hangs is killed and fails its case (status 137).
        cmd = f"timeout -s KILL {CASE_SECONDS} {cmd}"
        lines += [k.prep, "erases >/dev/null", f"echo '@case {i}'"]
        if k.fetch_max:
            lines.append("sync; echo 3 > /proc/sys/vm/drop_caches; s=$(sectors vda)")
        closing = "".join(f" {fd}>&-" for fd in k.closed)
        lines += [f"{cmd} >o 2>e{closing}; echo \"@rc $?\"; echo \"@erases $(erases)\"",
                  "echo \"@out $(od -An -v -tx1 o | tr -d ' \\n')\"",
                  "echo \"@err $(od -An -v -tx1 e | tr -d ' \\n')\""]
        if k.fetch_max:
            lines.append("echo \"@fetched $(( ($(sectors vda) - s) * 512 ))\"")
        if k.iface:
            lines.append("echo \"@iface $(cat /sys/class/net/eth0/address)"
                         " $(cat /sys/class/net/eth1/address)\"")
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
        self.fetched = []

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
            # Nothing can come back through a closed descriptor.
            want = (b"" if "1" in k.closed else k.out,
                    b"" if "2" in k.closed else k.err.encode(), k.rc)
            have = (out, err, int(g.get("rc", "-1")))
            self.expect(k.name, want == have, f"\n  want {want!r}\n  got  {have!r}")
            if k.fetch_max:
                fetched = int(g.get("fetched", "-1"))
                self.expect(f"{k.name}: fetched {fetched} bytes",
                            0 < fetched <= k.fetch_max, f"want at most {k.fetch_max}")
                self.fetched.append((k.name, fetched))
            if k.erases is not None:
                self.expect(f"{k.name}: erases", g.get("erases") == str(k.erases),
                            f"want {k.erases}, got {g.get('erases')}")
            if k.iface:
                self.expect(f"{k.name}: eth0's and eth1's addresses",
                            g.get("iface") == " ".join(k.iface),
                            f"want {k.iface}, got {g.get('iface')}")
            if k.check >= 0:
                self.expect(f"{k.name}: mtd{k.check} contents",
                            g.get("md5") == k.md5)


# The package's init script runs under OpenWrt's rc.common and shell
# library; `uci export`, which config_load evaluates, prints a config file
# in the form the file itself has (its comments aside).
UCI = """#!/bin/sh
for p; do :; done
exec cat "/etc/config/$p"
"""
OPENWRT_FILES = {"/etc/rc.common": "package/base-files/files/etc/rc.common",
                 "/lib/functions.sh": "package/base-files/files/lib/functions.sh",
                 "/lib/functions/service.sh": "package/base-files/files/lib/functions/service.sh",
                 "/lib/config/uci.sh": "package/system/uci/files/lib/config/uci.sh"}
OPENWRT_PACKAGE = Path(__file__).resolve().parents[2] / "packaging" / "openwrt" / "flashmac"


def openwrt_programs(tree, work):
    work.mkdir(parents=True, exist_ok=True)
    (work / "uci").write_text(UCI)
    return {"/sbin/uci": work / "uci",
            "/etc/init.d/flashmac": OPENWRT_PACKAGE / "files" / "flashmac.init"}


def openwrt_files(tree):
    files = {g: (tree / h).read_bytes() for g, h in OPENWRT_FILES.items()}
    files["/etc/config/flashmac.shipped"] = (
        OPENWRT_PACKAGE / "files" / "flashmac.config").read_bytes()
    return files


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--binary", required=True)
    ap.add_argument("--sysroot", required=True)
    ap.add_argument("--work", required=True)
    ap.add_argument("--kernel", choices=board.KERNELS, default="6.1")
    ap.add_argument("--openwrt", type=Path, help="an OpenWrt tree: its init scripts' shell "
                    "library runs the package's init script")
    a = ap.parse_args()

    if a.kernel != "6.1" and not board.kernel_ready(a.kernel):
        # Minutes to build, more than the test's time: scripts/test.sh
        # builds it before the tests, also after its config changed.
        print(f"skipped: Linux {a.kernel} for the board is not built from this tree's "
              f"config: run scripts/board/build-kernel.sh "
              f"{board.KERNELS['6.1']} {board.KERNELS[a.kernel]}")
        sys.exit(SKIPPED)
    work = Path(a.work)
    boot_dir = Path(__file__).resolve().parents[2] / "boot"
    b = board.Board(work, a.sysroot, {
        "/usr/bin/flashmac": a.binary,
        "/usr/bin/flashmac-ifaddr": boot_dir / "flashmac-ifaddr",
        "/usr/share/flashmac/helpers.sh": boot_dir / "helpers.sh",
        f"/usr/bin/{PROVISION}": boot_dir.parent / "factory" / PROVISION,
        "/etc/init.d/S38flashmac-ifaddr": boot_dir / "flashmac-ifaddr.init",
        **(openwrt_programs(a.openwrt, work) if a.openwrt else {})},
        board.kernel(a.kernel))
    print(f"Linux {a.kernel} ({(b.dir / 'kernel-package').read_text().strip()})")
    drives = [board.Drive(work / f"flash-{name}.img", erase, sizes)
              for name, erase, sizes in LAYOUT]
    nor = board.Nor(work / "nor.img")
    m = Model()
    n = 0
    for d in drives:
        d.create([bytes(m.parts[n + i]) for i in range(len(d.sizes))])
        n += len(d.sizes)
    nor.create([None] + [bytes(m.parts[n]) for n in NOR])
    fill = {n: bytes(m.parts[n]) for n in NAND}
    chk = Checker()
    for boot, make in (("first boot", first_boot_cases),
                       ("second boot", second_boot_cases)):
        cases = make(m)
        results = b.run(drives, script(cases, fill), mtdram=(MTDRAM_KIB, 64), nor=nor,
                        nandsim=NANDSIM, files={f"/nand{n}": d for n, d in fill.items()})
        print(f"{boot}: {len(cases)} cases, {b.boot_seconds:.1f} s")
        chk.cases(cases, results)
        # From the host: every partition holds exactly what the model says.
        n = 0
        for d in drives:
            for i in range(len(d.sizes)):
                chk.expect(f"{boot}: image of mtd{n}", d.partition(i) == m.parts[n])
                n += 1
        for n, i in NOR.items():
            chk.expect(f"{boot}: NOR image of mtd{n}", nor.partition(i) == m.parts[n])
        fill = {}  # what the second boot reads of NAND is not checked

    # The boot helper, on a boot with a network interface.
    drive = board.Drive(work / "flash-if.img", 4 * KiB, IF_SIZES)
    im = Model(IF_SIZES)
    for n, rec in enumerate(IF_RECORDS):
        if rec:
            im.write(n, mac(rec))
    for n, i in IF_NOR.items():
        im.parts[n] = pattern(board.NOR_PARTS[i][1], n, mac(IF_NOR_RECORDS[n]))
    drive.create([bytes(p) for p in list(im.parts.values())[:len(IF_SIZES)]])
    nor.create([None] + [bytes(im.parts[n]) for n in IF_NOR])
    cases = interface_boot_cases(im, openwrt_init=bool(a.openwrt))
    results = b.run([drive], script(cases, {}), nor=nor, nic=True, qemu_args=SECOND_NIC,
                    files=openwrt_files(a.openwrt) if a.openwrt else {},
                    timeout=60 + CASE_SECONDS * len(cases))
    print(f"network interface: {len(cases)} cases, {b.boot_seconds:.1f} s")
    chk.cases(cases, results)
    for i in range(len(IF_SIZES)):
        chk.expect(f"network interface: image of mtd{i} unchanged", drive.partition(i) == im.parts[i])
    for n, i in IF_NOR.items():
        chk.expect(f"network interface: NOR image of mtd{n} unchanged",
                   nor.partition(i) == im.parts[n])

    factory(b, work, chk)

    # Worn flash, on a boot of its own: the kernel's I/O error reports
    # would drown the other cases' console.
    faulty = board.Drive(work / "flash-faulty.img", 64 * KiB, [128 * KiB] * len(FAULTY),
                         unreadable=[(i, off) for i, (off, _) in enumerate(FAULTY)])
    fm = Model(faulty.sizes)
    faulty.create([bytes(p) for p in fm.parts.values()])
    cases = faulty_boot_cases(fm)
    results = b.run([faulty], script(cases, {}),
                    timeout=60 + CASE_SECONDS * len(cases))
    print(f"worn flash: {len(cases)} cases, {b.boot_seconds:.1f} s")
    chk.cases(cases, results)
    for i in range(len(FAULTY)):
        chk.expect(f"worn flash: image of mtd{i} unchanged",
                   faulty.partition(i) == fm.parts[i])
    for name, fetched in chk.fetched:
        print(f"cold: {name}: {fetched // KiB} KiB from the flash")
    print(f"{chk.passed} passed, {chk.failed} failed")
    sys.exit(1 if chk.failed else 0)


if __name__ == "__main__":
    main()
