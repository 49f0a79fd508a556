#!/usr/bin/env python3
"""Times flashmac against the usual busybox commands on the emulated board,
in one boot, side by side, and measures what a write costs in memory as the
partition grows. Prints a Markdown report; --write FILE also saves it.

usage: bench.py [--write FILE] [--runs-scale X]
"""
import argparse
import datetime
import platform
import statistics
import subprocess
import textwrap
from pathlib import Path

import board

KiB = 1024
OFF = 0xE000
SIZES = [64 * KiB, 1024 * KiB, 8192 * KiB]
BINARIES = {
    "flashmac": board.TOP / "build" / "mipsel-musl-sf" / "flashmac",
    "flashmac-static": board.TOP / "build" / "mipsel-musl-sf-static" / "flashmac",
}
# The busybox a musl device ships: dynamically linked against the same musl
# (scripts/board/build-busybox.sh). The board's own is Debian's static one,
# as a recovery image or initramfs would have.
BUSYBOX_MUSL = board.CACHE / "busybox-musl" / "busybox"
# Each busybox's applets, run by the guest's shell; $BB names the binary
# when it is not the shell's own.
BUSYBOXES = {"busybox-musl": "busybox-musl", "busybox": ""}
HEXDUMP = "$BB hexdump -v -n 6 -s 57344 -e '5/1 \"%02X:\" 1/1 \"%02X\"' /dev/mtdblock$1"

# The NOR chip's 256 KiB "factory" partition, after the drive's partitions
# and the chip's boot partition.
NOR_MTD = len(SIZES) + 1

# What one reading of the clock adds to a timed window.
CLOCK = 'o() { s=$(usclock); e=$(usclock); echo "@o $((e - s))"; }'

GUEST = r"""
bb_read() { HEXDUMP; }
# Timed writes alternate between two addresses, so that each one changes
# the record (an unchanged one costs flashmac no flash write at all).
flip=0
bb_write() { flip=$((1-flip)); printf "\002\000\000\000\00$flip\000" | $BB dd of=/dev/mtdblock$1 bs=1 seek=57344 count=6 conv=notrunc 2>/dev/null; HEXDUMP; }
fm_write() { flip=$((1-flip)); "$1" "$2" "02:00:00:00:0$flip:00"; }
# t LABEL RUNS CMD...: the wall time of RUNS runs, in microseconds.
t() {
  label=$1; n=$2; shift 2
  "$@" >/dev/null 2>&1
  s=$(usclock); i=0
  while [ $i -lt $n ]; do "$@" >/dev/null 2>&1; i=$((i+1)); done
  e=$(usclock)
  echo "@t $label $n $s $e"
}
CLOCK
echo "@res $(usclock -r)"
# m LABEL CMD...: peak resident set size and minor page faults, as busybox
# time reports them.
m() {
  label=$1; shift
  r=$(time -v "$@" 2>&1 >/dev/null)
  echo "@m $label $(echo "$r" | sed -n 's/.*Maximum resident set size (kbytes): //p') $(echo "$r" | sed -n 's/.*Minor (reclaiming a frame) page faults: //p')"
}
# l LABEL CMD...: the smallest RLIMIT_MEMLOCK (KiB) under which a non-root
# write still succeeds, i.e. the memory it locks.
l() {
  label=$1; shift
  for k in 16 32 64 128 256 512 1024 2048 4096 8192 16384 32768; do
    err=$(su nobody -s /bin/sh -c "ulimit -S -l $k; $*" 2>&1 >/dev/null)
    [ -z "$err" ] && { echo "@l $label $k"; return; }
  done
  echo "@l $label -"
}
ulimit -l 65536
chmod 666 /dev/mtd* /dev/mtdblock*
""".replace("HEXDUMP", HEXDUMP).replace("CLOCK", CLOCK)


# The emulator's pace drifts over a boot (runs get faster by half as it
# goes on), so the programs compared in a row are timed in turns, in
# ROUNDS rounds of a share of the runs each; the median round counts.
ROUNDS = 5


def guest_script(scale):
    r = lambda n: max(1, int(n * scale) // ROUNDS)
    lines = [GUEST]

    def rounds(build):
        first = len(lines)
        build()
        lines.extend(lines[first:] * (ROUNDS - 1))

    def each(step, args):
        # One line per flashmac build; {b} in step is the binary.
        lines.extend(f"{step.format(b=b)} {args}".rstrip() for b in BINARIES)

    def bbs(step):
        # One line per busybox; {bb} in step is its name.
        lines.extend(f"BB={v}; {step.format(bb=k)}" for k, v in BUSYBOXES.items())

    def first_rows():
        lines.append("o")
        # Start-up alone: no arguments, so nothing is opened.
        each(f"t start:{{b}} {r(400)} {{b}}", "")
        # (The shell's own applets run without an exec: name busybox itself.)
        bbs(f"t start:{{bb}} {r(400)} ${{{{BB:-/bin/busybox}}}} true")
        each(f"t read:{{b}} {r(400)} {{b}}", "0")
        bbs(f"t read:{{bb}} {r(400)} bb_read 0")
        # The address already there: flashmac leaves the flash alone.
        each(f"t same:{{b}} {r(400)} {{b}}", "0 02:00:00:00:00:00")
        for i, size in enumerate(SIZES):
            runs = r({64: 100, 1024: 30, 8192: 15}[size // KiB])
            each(f"t write{i}:{{b}} {runs} fm_write {{b}}", f"{i}")
            bbs(f"t write{i}:{{bb}} {runs} bb_write {i}")
        # The NOR chip, which erases: each changed write costs a 64 KiB erase.
        nor, runs = NOR_MTD, r(40)
        each(f"t nor-read:{{b}} {runs} {{b}}", f"{nor}")
        bbs(f"t nor-read:{{bb}} {runs} bb_read {nor}")
        each(f"t nor-same:{{b}} {runs} {{b}}", f"{nor} 02:00:00:00:00:00")
        each(f"t nor-write:{{b}} {runs} fm_write {{b}}", f"{nor}")
        bbs(f"t nor-write:{{bb}} {runs} bb_write {nor}")

    rounds(first_rows)
    for i, size in enumerate(SIZES):
        mac, raw = f"02:00:00:00:00:{i:02x}", f"\\002\\000\\000\\000\\001\\{i:03o}"
        each(f"m write{i}:{{b}} {{b}}", f"{i} {mac}")
        each(f"l write{i}:{{b}} {{b}}", f"{i} {mac}")
        lines.append(f"m write{i}:busybox sh -c \"printf '{raw}' | "
                     f"dd of=/dev/mtdblock{i} bs=1 seek=57344 count=6 conv=notrunc\"")
    nor = NOR_MTD
    for op, cmd in [("nor-read", f"{{b}} {nor}"), ("nor-same", f"{{b}} {nor} 02:00:00:00:00:00"),
                    ("nor-write", f"fm_write {{b}} {nor}")]:
        # The run before the counted one sets the record the "same" row keeps.
        each(f"{cmd} >/dev/null; erases >/dev/null; {cmd} >/dev/null; "
             f"echo \"@e {op}:{{b}} $(erases)\"", "")
    bbs(f"erases >/dev/null; bb_write {nor} >/dev/null; echo \"@e nor-write:{{bb}} $(erases)\"")
    lines.append(f"BB=; m read:busybox {HEXDUMP.replace('$1', '0')}")
    each("m read:{b} {b}", "0")
    return "\n".join(lines) + "\n"


# Cold reads, as a boot script's first read: page caches dropped before
# each command, on drives throttled to a flash chip's read speed (1-bit SPI
# NOR at 33 MHz, about 4 MB/s; quad SPI, about 20 MB/s), each holding one
# 256 KiB partition. The drives' own read-ahead is off (the board's
# default), so the sectors each drive read are what the MTD layer fetched.
# QEMU lets a drive read a burst of a tenth of a second's worth at full
# speed before it throttles; a second partition of three times that is
# read just before each command to use the burst up (the bucket leaks
# while it is read). Under the emulator the difference still shows less
# than the runs vary, so the report also gives each command's bus time.
CHIPS = {"4 MB/s (1-bit SPI)": 4_000_000, "20 MB/s (quad SPI)": 20_000_000}
COLD_PART = 256 * KiB
COLD_ROUNDS = 15
COLD = {
    "flashmac": "flashmac {n}",
    "flashmac-static": "flashmac-static {n}",
    "busybox-musl hexdump": "BB=busybox-musl; " + HEXDUMP.replace("$1", "{n}"),
    "busybox hexdump": "BB=; " + HEXDUMP.replace("$1", "{n}"),
    "busybox dd": "dd if=/dev/mtdblock{n} bs=1 skip=57344 count=6",
}
COLD_GUEST = CLOCK + r"""
# c LABEL I DRIVE CMD: one cold run of CMD on chip I: its time and the
# bytes its drive read.
c() {
  label=$1; n=$2; d=$3; shift 3
  sync; echo 3 > /proc/sys/vm/drop_caches
  dd if=/dev/${d}2 of=/dev/null bs=64k 2>/dev/null; f=$(sectors $d)
  s=$(usclock); eval "$@" >/dev/null 2>&1; e=$(usclock)
  echo "@c $label|$n $((e - s)) $(( ($(sectors $d) - f) * 512 ))"
}
"""


def cold_script():
    lines = [COLD_GUEST]
    for _ in range(COLD_ROUNDS):
        lines.append("o")
        # Drive i's partitions are mtd 2i (the record) and 2i+1 (the burst).
        for i, d in enumerate("ab"[:len(CHIPS)]):
            for label, cmd in COLD.items():
                lines.append(f"c '{label}' {i} vd{d} {board.quote([cmd.format(n=2 * i)])}")
    return "\n".join(lines) + "\n"


def cold(b, work):
    """{(label, chip): (ms, bytes fetched)}, medians over the rounds."""
    drives = []
    for i, (chip, bps) in enumerate(CHIPS.items()):
        burst = -(-3 * bps // 10 // (64 * KiB)) * 64 * KiB
        d = board.Drive(work / f"cold-{i}.img", 64 * KiB, [COLD_PART, burst], read_bps=bps)
        d.create([b"\xff" * COLD_PART, b"\0" * burst])
        drives.append(d)
    out = b.run(drives, cold_script(), timeout=900)
    runs, overhead = {}, []
    for line in out.splitlines():
        if line.startswith("@o "):
            overhead.append(int(line.split()[1]))
        elif line.startswith("@c "):
            key, us, fetched = line[3:].rsplit(" ", 2)
            label, n = key.split("|")
            runs.setdefault((label, list(CHIPS)[int(n)]), []).append((int(us), int(fetched)))
    clock = statistics.median(overhead)
    return {k: ((statistics.median(u for u, _ in v) - clock) / 1000,
                statistics.median(f for _, f in v)) for k, v in runs.items()}


def boot(scale):
    """Boots the board once and runs the warm and the cold measurements:
    (the board, the warm run's output, the cold reads)."""
    work = board.TOP / "build" / "bench"
    work.mkdir(parents=True, exist_ok=True)
    sdk = board.CACHE / "sysroot-mipsel-musl-sf"
    usclock = work / "usclock"
    subprocess.run([sdk / "bin" / "mipsel-linux-musl-gcc", "-static", "-Os", "-o", usclock,
                    Path(__file__).with_name("usclock.c")], check=True)
    b = board.Board(work, sdk,
                    {**{f"/usr/bin/{k}": v for k, v in BINARIES.items()},
                     "/usr/bin/busybox-musl": BUSYBOX_MUSL, "/usr/bin/usclock": usclock})
    drive = board.Drive(work / "flash.img", 64 * KiB, SIZES)
    drive.create([b"\xff" * s for s in SIZES])
    nor = board.Nor(work / "nor.img")
    nor.create([])
    out = b.run([drive], guest_script(scale), nor=nor, timeout=900)
    return b, out, cold(b, work)


class Warm:
    """The warm run's figures: t (ms per operation, by "op:program"), mem,
    lock, erases, the clock's own cost (µs), the timed windows and the
    kernel's clock resolution."""

    def __init__(self, out):
        self.mem, self.lock, self.erases, overhead, self.windows = {}, {}, {}, [], []
        self.res = "?"
        for line in out.splitlines():
            f = line.split()
            if line.startswith("@t "):
                self.windows.append((f[1], int(f[2]), int(f[4]) - int(f[3])))
            elif line.startswith("@o "):
                overhead.append(int(f[1]))
            elif line.startswith("@res "):
                self.res = f[1]
            elif line.startswith("@m ") and len(f) > 2:
                # busybox time takes ru_maxrss for pages; it is KiB already.
                self.mem[f[1]] = f"{int(f[2]) // 4} KiB, {f[3]} faults"
            elif line.startswith("@l "):
                self.lock[f[1]] = f[2]
            elif line.startswith("@e "):
                self.erases[f[1]] = f[2]
        # Each window also holds one reading of the clock: take it out.
        self.clock = statistics.median(overhead)
        rounds = {}
        for label, n, us in self.windows:
            rounds.setdefault(label, []).append((us - self.clock) / n / 1000)
        self.t = {k: statistics.median(v) for k, v in rounds.items()}


NAMES = list(BINARIES) + list(BUSYBOXES)
# Like against like: dynamic against musl's dynamic busybox (a device with a
# shared musl), static against the static busybox (an initramfs).
PAIRS = [("flashmac", "busybox-musl"), ("flashmac-static", "busybox")]


def ratio(t, key, a, b):
    va, vb = t.get(f"{key}:{a}"), t.get(f"{key}:{b}")
    return f"{va / vb:.2f}x" if va and vb else "-"


def time_rows(t):
    rows = ["| operation | " + " | ".join(NAMES) + " | "
            + " | ".join(f"{a} / {b}" for a, b in PAIRS) + " |",
            "|---" * (len(NAMES) + 3) + "|"]

    def row(label, key):
        cells = [f"{v:.1f} ms" if v is not None else "-"
                 for v in (t.get(f"{key}:{n}") for n in NAMES)]
        rows.append(f"| {label} | " + " | ".join(cells + [ratio(t, key, a, b) for a, b in PAIRS])
                    + " |")

    row("start-up only (no arguments; busybox: `true`)", "start")
    row("read", "read")
    row("write of the address already there + read-back (busybox: none)", "same")
    for i, size in enumerate(SIZES):
        row(f"write + read-back, {size // KiB} KiB partition", f"write{i}")
    return rows


def nor_rows(t, erases):
    """Each operation against the same binary's read, and the erases it
    asked of the NOR chip."""
    rows = ["| operation | " + " | ".join(NAMES) + " | erases (" + ", ".join(NAMES) + ") |",
            "|---" * (len(NAMES) + 1) + "|---|"]
    for label, key, base in [
            ("read", "nor-read", None),
            ("write of the address already there + read-back", "nor-same", "nor-read"),
            ("write of a new address + read-back", "nor-write", "nor-read")]:
        cells = []
        for n in NAMES:
            v, ref = t.get(f"{key}:{n}"), t.get(f"{base}:{n}") if base else None
            cells.append("-" if v is None else f"{v:.1f} ms" + (f" ({v / ref:.2f}x read)" if ref else ""))
        ers = ", ".join(erases.get(f"{key}:{n}", "-") for n in NAMES)
        rows.append(f"| {label} | " + " | ".join(cells) + f" | {ers} |")
    return rows


def memory_rows(mem, lock):
    rows = ["| operation | flashmac peak RSS, page faults | flashmac locked | "
            "flashmac-static peak RSS, page faults | busybox peak RSS, page faults |",
            "|---|---|---|---|---|"]
    for i, size in enumerate(SIZES):
        k = f"write{i}"
        rows.append(f"| write, {size // KiB} KiB partition | {mem.get(k + ':flashmac', '-')} | "
                    f"{lock.get(k + ':flashmac', '-')} KiB | "
                    f"{mem.get(k + ':flashmac-static', '-')} | "
                    f"{mem.get(k + ':busybox', '-')} (dd) |")
    rows.append(f"| read | {mem.get('read:flashmac', '-')} | - | "
                f"{mem.get('read:flashmac-static', '-')} | "
                f"{mem.get('read:busybox', '-')} (hexdump) |")
    return rows


def loader_rows(t):
    """Where a dynamic read's time goes: exec and musl's loader (the
    start-up row: the loader maps libc and binds every imported symbol
    before main), then the program's own work."""
    def dyn(path):
        out = subprocess.run(["mipsel-linux-gnu-readelf", "-W", "--dyn-syms", "-r", str(path)],
                             capture_output=True, text=True).stdout.splitlines()
        und = sum(1 for l in out if " UND " in l and not l.rstrip().endswith(" UND"))
        rel = sum(1 for l in out if len(l) > 8 and all(c in "0123456789abcdef" for c in l[:8]))
        return und, rel

    unstripped = {"flashmac": BINARIES["flashmac"].with_name("flashmac.unstripped"),
                  "busybox-musl": BUSYBOX_MUSL}
    rows = ["| | flashmac | busybox-musl |", "|---|---|---|"]
    for label, f in [("exec and loader (start-up row)", lambda n: t.get(f"start:{n}")),
                     ("the read itself (read row less start-up)",
                      lambda n: t.get(f"read:{n}", 0) - t.get(f"start:{n}", 0))]:
        rows.append(f"| {label} | " + " | ".join(
            f"{f(n):.1f} ms" if f(n) is not None else "-" for n in unstripped) + " |")
    counts = {n: dyn(p) for n, p in unstripped.items()}
    rows.append("| symbols imported / relocations the loader processes | "
                + " | ".join(f"{u} / {r}" for u, r in counts.values()) + " |")
    return rows


def fetched(colds, label):
    """Bytes the command fetched from the flash, and its bus time (ms) at
    each chip's speed."""
    got = max((f for _, f in filter(None, (colds.get((label, c)) for c in CHIPS))), default=0)
    return got, [got / bps * 1000 for bps in CHIPS.values()]


def cold_rows(colds):
    rows = ["| command | " + " | ".join(f"board, drive at {c}" for c in CHIPS)
            + " | fetched from the flash | "
            + " | ".join(f"its bus time at {c.split()[0]} MB/s" for c in CHIPS) + " |",
            "|---" * (2 * len(CHIPS) + 2) + "|"]
    for label in COLD:
        cells = [colds.get((label, chip)) for chip in CHIPS]
        got, bus = fetched(colds, label)
        rows.append(f"| {label} | " + " | ".join(f"{c[0]:.1f} ms" if c else "-" for c in cells)
                    + f" | {got // KiB} KiB | " + " | ".join(f"{ms:.1f} ms" for ms in bus) + " |")
    return rows


def meaning(w, colds):
    """The page's first section: what a reader takes from the figures, with
    this run's own numbers, so that it cannot drift from the tables."""
    fm, fm_bus = fetched(colds, "flashmac")
    bb, bb_bus = fetched(colds, "busybox hexdump")
    slow, fast = (f"{fm_bus[i]:.1f} ms against {bb_bus[i]:.1f} ms" for i in (0, 1))
    reads = ", ".join(f"{ratio(w.t, 'read', a, b)} ({a} / {b})" for a, b in PAIRS)
    points = [
        f"**A read at boot costs what it fetches from a cold chip:** {fm // KiB} KiB for "
        f"flashmac (its fixed window), {bb // KiB} KiB for busybox's hexdump or dd: {slow} "
        f"of bus time at 4 MB/s, {fast} at 20 MB/s, on top of starting the program (the "
        "cold section). A write fetches its partition once, and its read-back nothing more.",
        "**Warm, compare like with like:** flashmac against busybox-musl on a firmware with "
        "a shared musl, flashmac-static against the static busybox in an initramfs or "
        f"recovery image. A read here: {reads}. Both dynamic programs spend most of it in "
        "musl's loader. The ratios vary from boot to boot (three boots in December 2026 "
        "gave the dynamic read 0.74x to 1.07x), since runs under the emulator vary by a "
        "millisecond or two.",
        "**The address already there** costs about a read and a flush: no erase. A changed "
        "one costs one erase of its block on the NOR chip, as dd does.",
        "**A write maps and locks the whole partition:** its time and memory grow with the "
        "partition (the 8192 KiB rows). The page check before mapping was about 6% of a "
        "write's time on 8 MiB and did not show on 1 MiB (measured once, December 2026, "
        "by limiting the check to 64 KiB).",
    ]
    return ["## What the figures mean", "",
            *(textwrap.fill(t, 76, initial_indent="- ", subsequent_indent="  ",
                            break_on_hyphens=False)
              for t in points), ""]


def machine(b):
    cpu = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo")
                if l.startswith("model name")), platform.machine())
    qemu = subprocess.run(["qemu-system-mipsel", "--version"], capture_output=True,
                          text=True).stdout.splitlines()[0]
    # The commit whose binaries were measured ("-dirty": with changes on top).
    rev = subprocess.run(["git", "-C", str(board.TOP), "describe", "--always", "--dirty"],
                         capture_output=True, text=True).stdout.strip()
    return (f"at commit {rev} on {cpu} "
            f"({subprocess.run(['nproc'], capture_output=True, text=True).stdout.strip()}"
            f" cores), {qemu}, TCG (no KVM); board: Malta 24Kc, 256 MiB, kernel "
            f"{(b.dir / 'kernel-package').read_text().strip()}, block2mtd over a "
            f"virtio drive (64 KiB erase blocks) and the board's CFI NOR chip, "
            f"busybox-static from Debian bookworm, busybox-musl from its source")


def intro(w):
    return [
        "# Benchmarks", "",
        "Produced by `make bench` (`scripts/board/bench.py`): one boot of the emulated",
        "board, flashmac and the usual busybox commands side by side on the same",
        "partitions. The emulator speeds up over a boot, so the programs compared in",
        f"a row are timed in turns: {ROUNDS} rounds, in each of which every program runs",
        "its share of the runs back to back, and each figure is the median round's",
        "time divided by its runs. Times are wall time per operation under",
        "full-system emulation, so they are slower than on silicon; the ratios are",
        "what carries over.", "",
        "Clock: `CLOCK_MONOTONIC`, read in the board by a small static helper of",
        "ours (`scripts/board/usclock.c`), in steps of one microsecond (the",
        f"kernel's own resolution is {w.res} ns). Each timed window also holds one",
        f"start of that helper, {w.clock / 1000:.1f} ms (median of one measurement per",
        "round), which is taken out before dividing by the runs. The shortest",
        f"window is {min(us for _, _, us in w.windows)} µs, so every figure and every"
        " ratio below rests",
        "on thousands of clock steps.", "",
        "- busybox read: `" + HEXDUMP.replace("$BB ", "").replace("$1", "N") + "`",
        "- busybox write: `printf` of the six bytes into",
        "  `dd of=/dev/mtdblockN bs=1 seek=57344 count=6 conv=notrunc`, then the same hexdump",
        "",
    ]


def timing_sections(w, colds):
    return [
        "## Time per operation", "",
        "Which column to compare with depends on the device: a firmware with a",
        "shared musl (OpenWrt, Buildroot or Yocto with musl) ships a busybox",
        "dynamically linked against it, so compare flashmac with busybox-musl",
        "(built by the bench from Debian's busybox source, defconfig, against",
        "the same musl). A recovery image or initramfs without a shared libc",
        "has a static busybox, like the board's own (Debian's busybox-static):",
        "compare flashmac-static with busybox there.", "", *time_rows(w.t), "",
        "## A read at boot: cold, from a slow flash chip", "",
        "The first read after power-on finds nothing cached and waits for the",
        "chip. Each command below ran with the page caches dropped first, on a",
        f"{COLD_PART // KiB} KiB partition of a drive that QEMU throttles to a chip's read",
        "speed (a 1-bit SPI NOR chip at 33 MHz gives about 4 MB/s, quad SPI about",
        "20 MB/s). \"Fetched\" is what the drive under block2mtd read (its own",
        "read-ahead off): what the command fetched from the \"flash\"; the board",
        "test asserts it. The board columns are the median of",
        f"{COLD_ROUNDS} runs each, the clock's own start taken out. Under the emulator",
        "the drive's data moves at about quad-SPI pace anyway and QEMU's",
        "throttle lets short bursts through, so the two board columns differ",
        "by less than the chip would make them, and by less than the runs vary:",
        "the bus time beside them, the fetched bytes at the chip's speed, is",
        "what a real chip adds to starting the program.", "",
        *cold_rows(colds), "",
        "Why: flashmac maps and locks a fixed 64 KiB window from the start of",
        "the partition (the tool's defined read), so it fetches those 16 pages,",
        "where busybox's hexdump and dd fetch the one page that holds the",
        "record. At boot from a 1-bit SPI chip that is about 16 ms of bus time",
        "against 1 ms; from quad SPI about 3 ms against 0.2 ms. It fetches",
        "nothing more: before mapping, flashmac reads one byte of each of those",
        "pages through the character device (which, on a failing page, answers",
        "at once), and then asks the kernel for exactly the mapped pages, so",
        "that the mapping's first fault reads nothing ahead past them. On",
        "block2mtd the block device then finds those pages in the drive's cache;",
        "on a NOR chip the check itself costs one bus read of a byte per page.", "",
        "## Where a dynamic read's time goes", "",
        "musl binds every symbol when the program starts (there is no lazy",
        "binding), so the loader's share is in the start-up row; what remains",
        "of a read is the open, the 64 KiB locked window (the kernel reads 16",
        "pages of the partition into it) and the output.", "", *loader_rows(w.t), "",
    ]


def flash_sections(w):
    return [
        "## On flash that erases: the board's CFI NOR chip", "",
        "A 256 KiB partition with 64 KiB erase blocks. Each changed address makes",
        "the kernel read, erase and program again the whole erase block around the",
        "record; the address already there costs flashmac no erase. Times in",
        "brackets are against the same program's read.", "", *nor_rows(w.t, w.erases), "",
        "## Memory of one run", "",
        "Peak RSS is what busybox `time -v` reports for the child; about 1.1 MiB of it",
        "is the forked busybox before `exec`, so compare the rows, not the floor.",
        "Locked memory is the smallest `ulimit -l` under which a non-root write still",
        "succeeds.", "", *memory_rows(w.mem, w.lock), "",
        "## Stripped sizes", "",
        "flashmac's, for every build profile, are in",
        "[building.md](building.md#profiles-and-their-sizes), which the tests keep",
        f"equal to the builds. The busybox-musl compared here: {BUSYBOX_MUSL.stat().st_size} bytes.", "",
    ]


WHY = """\
## Why flashmac is slower where it is

- Start-up: the dynamic binary spends most of a read in musl's dynamic
  loader (the start-up row: the same binary doing nothing), as the
  dynamic busybox does; flashmac imports a few symbols where busybox
  imports hundreds, so its binding is the smaller part. The static build
  starts faster than either. Where start-up time counts (boot scripts),
  install the static build.
- Read: flashmac maps a fixed 64 KiB window, locked, so the kernel reads
  16 pages of the partition where hexdump reads one. That window is part
  of the tool's defined behaviour and is kept. Before mapping, flashmac
  reads one byte of each of those pages through the character device
  (an open and 16 more system calls), so that a page the flash can't
  give back is reported instead of hanging the locked mapping; a write
  does the same over the whole partition.
- Write on large partitions: the whole partition is mapped and locked
  while the record is written, so the kernel reads all of it into RAM
  (time and locked memory grow with the partition; see the 8 MiB row),
  where dd touches one erase block. This too is defined behaviour; it
  is why the manual warns that a write needs as much free RAM as the
  partition. On a 64 KiB partition flashmac-static is faster than
  busybox, because busybox's `dd bs=1` makes six one-byte writes.
- A write of the address already there maps and flushes as any write
  does but stores nothing, so the kernel erases and programs nothing.
- What costs time is the loader and the defined mappings; the link
  options in use (no PIE, `-mplt`, section GC, SysV hash only, no
  RELRO) keep the loader's work small. Runs differ by a millisecond or
  two between boots; read the ratios, not the last digit.
"""


def page(b, w, colds):
    return "\n".join([*intro(w), *meaning(w, colds), *timing_sections(w, colds),
                      *flash_sections(w), WHY,
                      f"Measured {datetime.date.today()} {machine(b)}."])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--write")
    ap.add_argument("--runs-scale", type=float, default=1.0)
    a = ap.parse_args()
    b, out, colds = boot(a.runs_scale)
    report = page(b, Warm(out), colds)
    print(report)
    if a.write:
        Path(a.write).write_text(report + "\n")


if __name__ == "__main__":
    main()
