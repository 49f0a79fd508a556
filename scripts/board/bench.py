#!/usr/bin/env python3
"""flashmac against busybox and against the defined operations written
plainly, on the emulated board, warm, in instructions per operation: the
emulator counts them (QEMU's -icount: the guest's clock advances one
nanosecond per instruction), so a figure repeats from boot to boot and
whatever the host is doing. Several boots, side by side; then a boot of
its own for cold reads from throttled drives, where what counts is the
bytes fetched from the flash. Prints a Markdown report; --write FILE also
saves it.

usage: bench.py [--write FILE] [--boots N] [--load N] [--wall] [--runs-scale X]
                [--render RAW]
  --boots   warm boots to compare (default 3)
  --load    busy processes on the host while it runs (default: one a core)
  --wall    wall time (ms) under plain emulation instead of instructions
  --render  no boots: the report from a run's saved output (every run
            saves it in build/bench/raw.json)
"""
import argparse
import datetime
import json
import multiprocessing
import os
import platform
import statistics
import subprocess
import textwrap
from pathlib import Path

import board

KiB = 1024
OFF = 0xE000
WORK = board.TOP / "build" / "bench"
SDK = board.CACHE / "sysroot-mipsel-musl-sf"
BINARIES = {
    "flashmac": board.TOP / "build" / "mipsel-musl-sf" / "flashmac",
    "flashmac-static": board.TOP / "build" / "mipsel-musl-sf-static" / "flashmac",
}
# The defined read and write, written plainly with no checks (plain.c):
# the least the operations cost; built here, dynamic and static.
PLAIN = ["plain", "plain-static"]
# The busybox a musl device ships: dynamically linked against the same musl
# (scripts/board/build-busybox.sh). The board's own is Debian's static one,
# as a recovery image or initramfs would have.
BUSYBOX_MUSL = board.CACHE / "busybox-musl" / "busybox"
# Each busybox's applets, started as programs ($BB names the binary), as
# flashmac is: the guest's shell, itself the static busybox, would run its
# own applets without an exec, which no other program gets.
BUSYBOXES = {"busybox-musl": "busybox-musl", "busybox": "/bin/busybox"}
NAMES = list(BINARIES) + list(BUSYBOXES) + PLAIN
# Like against like: each flashmac against the busybox and the plain
# program linked as it is.
PAIRS = [("flashmac", "busybox-musl", "plain"),
         ("flashmac-static", "busybox", "plain-static")]
HEXDUMP = "$BB hexdump -v -n 6 -s 57344 -e '5/1 \"%02X:\" 1/1 \"%02X\"' /dev/mtdblock$1"

# Warm reads on a block2mtd partition (mtd0), whose pages stay cached; the
# writes on the NAND simulator, which keeps its data in RAM (a write to a
# drive waits for the host's disk, and an idle processor's clock jumps),
# and erases as flash does: 16 KiB erase blocks, partitions of these sizes.
READ_PART = 128 * KiB
SIZES = [64 * KiB, 1024 * KiB]
NAND_ERASE = 16 * KiB
NANDSIM = ("first_id_byte=0x20 second_id_byte=0x73 parts="
           + ",".join(str(s // NAND_ERASE) for s in SIZES))
NAND_MTD = 1  # the first NAND partition's number
# The board's modules the bench needs none of (the network, the factory's
# file system).
UNUSED = ("mii.ko", "pcnet32.ko", "minix.ko")
# -icount: one nanosecond of the guest's clock per instruction, the guest's
# real-time clock from it too. Under QEMU 7.2 a guest that idles (MIPS
# `wait`) then never wakes: the clock only moves while instructions run,
# and nothing moves it on to the next timer. The guest's idle loop spins
# instead: MIPS's kernel takes `nowait` for that (`idle=poll` is x86's: a
# MIPS kernel hands it to init as an environment variable, and its boots
# stalled as they turned the function tracer on). A timed window must
# then wait for nothing, or it counts the spinning: the warm runs read
# cached pages and write to RAM-backed flash.
ICOUNT = ["-icount", "shift=0,sleep=off", "-rtc", "clock=vm"]
ICOUNT_APPEND = "nowait"

GUEST = r"""
bb_read() { HEXDUMP; }
# Timed writes alternate between two addresses, so that each one changes
# the record (an unchanged one costs flashmac no flash write at all).
flip=0
bb_write() { flip=$((1-flip)); printf "\002\000\000\000\00$flip\000" | $BB dd of=/dev/mtdblock$1 bs=1 seek=57344 count=6 conv=notrunc 2>/dev/null; HEXDUMP; }
fm_write() { flip=$((1-flip)); "$1" "$2" "02:00:00:00:0$flip:00"; }
# t LABEL RUNS CMD...: the clock (ns) around RUNS runs.
t() {
  label=$1; n=$2; shift 2
  "$@" >/dev/null 2>&1
  s=$(usclock -n); i=0
  while [ $i -lt $n ]; do "$@" >/dev/null 2>&1; i=$((i+1)); done
  e=$(usclock -n)
  echo "@t $label $n $s $e"
}
# What one reading of the clock adds to a timed window.
o() { s=$(usclock -n); e=$(usclock -n); echo "@o $((e - s))"; }
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
""".replace("HEXDUMP", HEXDUMP)


# The emulator's pace drifts over a boot in wall time, so the programs
# compared in a row run in turns, in ROUNDS rounds of a share of the runs
# each; the median round counts.
ROUNDS = 3


def guest_script(scale):
    r = lambda n: max(1, int(n * scale) // ROUNDS)
    lines = [GUEST]

    def each(step, args, names=list(BINARIES) + PLAIN):
        # One line per program of ours; {b} in step is the binary.
        lines.extend(f"{step.format(b=b)} {args}".rstrip() for b in names)

    def bbs(step):
        # One line per busybox; {bb} in step is its name.
        lines.extend(f"BB={v}; {step.format(bb=k)}" for k, v in BUSYBOXES.items())

    def rows():
        lines.append("o")
        # Start-up alone: no arguments, so nothing is opened.
        each(f"t start:{{b}} {r(15)} {{b}}", "")
        bbs(f"t start:{{bb}} {r(15)} $BB true")
        each(f"t read:{{b}} {r(15)} {{b}}", "0")
        bbs(f"t read:{{bb}} {r(15)} bb_read 0")
        nand = NAND_MTD
        each(f"t nand-read:{{b}} {r(15)} {{b}}", f"{nand}")
        bbs(f"t nand-read:{{bb}} {r(15)} bb_read {nand}")
        # The address already there: flashmac leaves the flash alone.
        each(f"t same:{{b}} {r(15)} {{b}}", f"{nand} 02:00:00:00:00:00")
        for i, size in enumerate(SIZES):
            runs = r({64: 15, 1024: 6}[size // KiB])
            each(f"t write{i}:{{b}} {runs} fm_write {{b}}", f"{nand + i}")
            bbs(f"t write{i}:{{bb}} {runs} bb_write {nand + i}")

    for _ in range(ROUNDS):
        rows()
    for i, size in enumerate(SIZES):
        n, mac = NAND_MTD + i, f"02:00:00:00:00:{i:02x}"
        raw = f"\\002\\000\\000\\000\\001\\{i:03o}"
        each(f"m write{i}:{{b}} {{b}}", f"{n} {mac}", list(BINARIES))
        each(f"l write{i}:{{b}} {{b}}", f"{n} {mac}", list(BINARIES))
        lines.append(f"m write{i}:busybox sh -c \"printf '{raw}' | "
                     f"dd of=/dev/mtdblock{n} bs=1 seek=57344 count=6 conv=notrunc\"")
    # The erases each kind of write asks of the NAND: the run before the
    # counted one sets the record the "same" row keeps.
    n = NAND_MTD
    for op, cmd in [("same", f"{{b}} {n} 02:00:00:00:00:00"), ("write0", f"fm_write {{b}} {n}")]:
        each(f"{cmd} >/dev/null; erases >/dev/null; {cmd} >/dev/null; "
             f"echo \"@e {op}:{{b}} $(erases)\"", "")
    bbs(f"erases >/dev/null; bb_write {n} >/dev/null; echo \"@e write0:{{bb}} $(erases)\"")
    lines.append(f"BB=/bin/busybox; m read:busybox {HEXDUMP.replace('$1', '0')}")
    each("m read:{b} {b}", "0", list(BINARIES))
    return GUEST + "".join(f"{line}\n{progress(i)}\n" for i, line in enumerate(lines[1:]))


def progress(i):
    """A line on the console between steps, outside every timed window.
    Boots that counted instructions and kept the console quiet for minutes
    stalled now and then (QEMU 7.2); with a line per step none has."""
    return f"echo '@{i}' > /dev/console"


# Cold reads, as a boot script's first read: page caches dropped before
# each command, on drives throttled to a flash chip's read speed (1-bit SPI
# NOR at 33 MHz, about 4 MB/s; quad SPI, about 20 MB/s), each holding one
# 256 KiB partition. The drives' own read-ahead is off (the board's
# default), so the sectors each drive read are what the MTD layer fetched:
# the figure that counts here, with the bus time it takes at each speed.
CHIPS = {"4 MB/s (1-bit SPI)": 4_000_000, "20 MB/s (quad SPI)": 20_000_000}
COLD_PART = 256 * KiB
COLD_ROUNDS = 3
COLD = {
    "flashmac": "flashmac {n}",
    "flashmac-static": "flashmac-static {n}",
    "busybox-musl hexdump": "BB=busybox-musl; " + HEXDUMP.replace("$1", "{n}"),
    "busybox hexdump": "BB=/bin/busybox; " + HEXDUMP.replace("$1", "{n}"),
    "busybox dd": "dd if=/dev/mtdblock{n} bs=1 skip=57344 count=6",
}
COLD_GUEST = r"""
# c LABEL DRIVE CMD: one cold run of CMD: the bytes its drive read.
c() {
  label=$1; d=$2; shift 2
  sync; echo 3 > /proc/sys/vm/drop_caches
  f=$(sectors $d)
  eval "$@" >/dev/null 2>&1
  echo "@c $label $(( ($(sectors $d) - f) * 512 ))"
}
"""


def cold_script():
    lines = [COLD_GUEST]
    for _ in range(COLD_ROUNDS):
        for label, cmd in COLD.items():
            lines.append(f"c '{label}' vda {board.quote([cmd.format(n=0)])}")
    return "\n".join(lines) + "\n"


def cold(b):
    """{label: bytes fetched}, the most over the runs. One drive: the bytes
    a command fetches do not depend on the chip's speed (its bus time is
    worked out from them), and with a fourth virtio drive the boot's
    results did not come back."""
    bps = next(iter(CHIPS.values()))
    d = board.Drive(WORK / "cold.img", 64 * KiB, [COLD_PART], read_bps=bps)
    d.create([b"\xff" * COLD_PART])
    out = b.run([d], cold_script(), timeout=900, disk_files=programs())
    got = {}
    for line in out.splitlines():
        if line.startswith("@c "):
            label, fetched = line[3:].rsplit(" ", 1)
            got[label] = max(got.get(label, 0), int(fetched))
    return got


def programs():
    """{guest path: host path} of the programs compared, built here where
    they are ours; they go to the board on a drive of their own."""
    WORK.mkdir(parents=True, exist_ok=True)
    cc = SDK / "bin" / "mipsel-linux-musl-gcc"
    here = Path(__file__).parent
    built = {}
    # Linked as the device presets link flashmac: not PIE (the SDK's
    # compiler makes PIE unless told otherwise), or static.
    for name, flags, src in [("usclock", ["-static"], "usclock.c"),
                             ("plain", ["-fno-pie", "-no-pie"], "plain.c"),
                             ("plain-static", ["-static"], "plain.c")]:
        out = WORK / name
        stamp = WORK / f"{name}.flags"
        if (not out.exists() or out.stat().st_mtime < (here / src).stat().st_mtime
                or not stamp.exists() or stamp.read_text() != " ".join(flags)):
            subprocess.run([cc, "-Os", *flags, "-o", out, here / src], check=True)
            stamp.write_text(" ".join(flags))
        built[f"/usr/bin/{name}"] = out
    return {**{f"/usr/bin/{k}": v for k, v in BINARIES.items()},
            "/usr/bin/busybox-musl": BUSYBOX_MUSL, **built}


def linking(path):
    """How the ELF program at path is linked: "static", "static, PIE",
    "dynamic, PIE" or "dynamic, fixed address"."""
    data = Path(path).read_bytes()
    assert data[:4] == b"\x7fELF" and data[4] == 1 and data[5] == 1, f"{path}: not ELF32 LE"
    e_type = int.from_bytes(data[16:18], "little")
    phoff = int.from_bytes(data[28:32], "little")
    phentsize = int.from_bytes(data[42:44], "little")
    phnum = int.from_bytes(data[44:46], "little")
    interp = any(int.from_bytes(data[phoff + i * phentsize:][:4], "little") == 3  # PT_INTERP
                 for i in range(phnum))
    if not interp:
        return "static, PIE" if e_type == 3 else "static"
    return "dynamic, PIE" if e_type == 3 else "dynamic, fixed address"


def linked_alike(b):
    """{program: how it is linked}; fails unless each row's programs are
    linked alike, the comparison being otherwise meaningless."""
    programs()  # builds the plain ones
    hosts = {**BINARIES, "busybox-musl": BUSYBOX_MUSL, "busybox": b.dir / "busybox",
             **{n: WORK / n for n in PLAIN}}
    how = {name: linking(path) for name, path in hosts.items()}
    for pair in PAIRS:
        kinds = {how[n] for n in pair}
        if len(kinds) != 1:
            raise SystemExit("bench: " + ", ".join(f"{n} is {how[n]}" for n in pair)
                             + ": a row must compare programs linked alike")
    return how


def warm_boot(b, scale, wall):
    """The warm script's output; a boot that stalls is tried once more."""
    for attempt in (1, 2):
        drive = board.Drive(WORK / "flash.img", 64 * KiB, [READ_PART])
        drive.create([b"\xff" * READ_PART])
        try:
            return b.run([drive], guest_script(scale), nandsim=NANDSIM, timeout=900,
                         disk_files=programs(), qemu_args=[] if wall else ICOUNT,
                         append="" if wall else ICOUNT_APPEND)
        except RuntimeError as e:
            if attempt == 2:
                raise
            print(f"warm boot stalled, tried again: {str(e).splitlines()[0]}")


class Warm:
    """One warm boot's figures: t (instructions, or ns in wall mode, per
    operation, by "op:program"), mem, lock, erases."""

    def __init__(self, out):
        self.mem, self.lock, self.erases, overhead, windows = {}, {}, {}, [], []
        for line in out.splitlines():
            f = line.split()
            if line.startswith("@t "):
                windows.append((f[1], int(f[2]), int(f[4]) - int(f[3])))
            elif line.startswith("@o "):
                overhead.append(int(f[1]))
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
        for label, n, ns in windows:
            rounds.setdefault(label, []).append((ns - self.clock) / n)
        self.t = {k: statistics.median(v) for k, v in rounds.items()}


def fmt(v, wall):
    return "-" if v is None else f"{v / 1e6:.1f} ms" if wall else f"{v / 1e6:.3f} M"


def ratio(t, key, a, b):
    va, vb = t.get(f"{key}:{a}"), t.get(f"{key}:{b}")
    return f"{va / vb:.2f}x" if va and vb else "-"


ROWS = [("start-up only (no arguments; busybox: `true`)", "start"),
        ("read (block2mtd)", "read"),
        ("read (NAND)", "nand-read"),
        ("write of the address already there + read-back (busybox: none)", "same")] + [
    (f"write of a new address + read-back, {s // KiB} KiB NAND partition", f"write{i}")
    for i, s in enumerate(SIZES)]


HOW = {"flashmac": "the `mipsel-musl-sf` preset (`-no-pie`)",
       "flashmac-static": "the `mipsel-musl-sf-static` preset (`-static`)",
       "busybox-musl": "defconfig, `CONFIG_EXTRA_CFLAGS=\"-fno-pie\"`, "
                       "`CONFIG_EXTRA_LDFLAGS=\"-no-pie\"` (`scripts/board/build-busybox.sh`)",
       "busybox": "Debian's `busybox-static`, as packaged",
       "plain": "`-Os -fno-pie -no-pie`", "plain-static": "`-Os -static`"}


def linking_rows(how):
    if not how:
        return ["(how each program was linked: not recorded in this run)"]
    return ["| program | linked | how |", "|---|---|---|"] + [
        f"| {n} | {how[n]} | {HOW[n]} |" for n in NAMES if n in how]


def time_rows(t, wall):
    rows = ["| operation | " + " | ".join(NAMES) + " | "
            + " | ".join(f"{a} / {b}" for a, b, _ in PAIRS)
            + " | " + " | ".join(f"{a} / {p}" for a, _, p in PAIRS) + " |",
            "|---" * (len(NAMES) + 5) + "|"]
    for label, key in ROWS:
        cells = [fmt(t.get(f"{key}:{n}"), wall) for n in NAMES]
        cells += [ratio(t, key, a, b) for a, b, _ in PAIRS]
        cells += [ratio(t, key, a, p) for a, _, p in PAIRS]
        rows.append(f"| {label} | " + " | ".join(cells) + " |")
    return rows


def boots_rows(warms, wall):
    """The same figures from each boot, their spread ((max - min) / min),
    and the largest spread."""
    rows = ["| operation, program | " + " | ".join(f"boot {i + 1}" for i in range(len(warms)))
            + " | spread |", "|---" * (len(warms) + 2) + "|"]
    worst = 0
    for label, key in ROWS:
        for n in NAMES:
            vs = [w.t.get(f"{key}:{n}") for w in warms]
            if None in vs:
                continue
            spread = (max(vs) - min(vs)) / min(vs) * 100
            worst = max(worst, spread)
            rows.append(f"| {key}, {n} | " + " | ".join(fmt(v, wall) for v in vs)
                        + f" | {spread:.1f}% |")
    return rows, worst


def erase_rows(erases):
    names = list(BINARIES) + list(BUSYBOXES)
    rows = ["| operation | " + " | ".join(names) + " |", "|---" * (len(names) + 1) + "|"]
    for label, key in [("write of the address already there", "same"),
                       ("write of a new address", "write0")]:
        rows.append(f"| {label} | " + " | ".join(erases.get(f"{key}:{n}", "-") for n in names)
                    + " |")
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


def cold_rows(colds):
    rows = ["| command | fetched from the flash | "
            + " | ".join(f"its bus time at {c}" for c in CHIPS) + " |",
            "|---" * (len(CHIPS) + 2) + "|"]
    for label in COLD:
        got = colds.get(label, 0)
        rows.append(f"| {label} | {got // KiB} KiB | "
                    + " | ".join(f"{got / bps * 1000:.1f} ms" for bps in CHIPS.values()) + " |")
    return rows


def machine(b, load):
    cpu = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo")
                if l.startswith("model name")), platform.machine())
    qemu = subprocess.run(["qemu-system-mipsel", "--version"], capture_output=True,
                          text=True).stdout.splitlines()[0]
    # The commit whose binaries were measured ("-dirty": with changes on top).
    rev = subprocess.run(["git", "-C", str(board.TOP), "describe", "--always", "--dirty"],
                         capture_output=True, text=True).stdout.strip()
    return (f"at commit {rev} on {cpu} ({os.cpu_count()} cores, {load} busy processes "
            f"beside it), {qemu}, TCG (no KVM); board: Malta 24Kc, 256 MiB, kernel "
            f"{(b.dir / 'kernel-package').read_text().strip()}, busybox-static from "
            "Debian bookworm, busybox-musl from its source")


def page(warms, saved):
    colds, wall, load = saved["cold"], saved["wall"], saved["load"]
    w = warms[0]
    boots, worst = boots_rows(warms, wall)
    unit = "ms of wall time" if wall else "millions of instructions (M)"
    para = lambda text: textwrap.fill(" ".join(text.split()), 76)
    return "\n".join([
        "# Benchmarks", "",
        para(f"""Produced by `make bench` (`scripts/board/bench.py`): {len(warms)} boots of
        the emulated board, each running flashmac, the usual busybox commands and
        the defined operations written plainly (`scripts/board/plain.c`: the read
        and write as defined, with none of flashmac's checks) side by side on the
        same partitions, warm, while {load} busy processes load the host. Figures
        are {unit} per operation: the program's start, its work and the kernel's
        work for it, as one run from a shell."""), "",
        para("""Why instructions: under full-system emulation, wall time weighs
        the wrong things (each TLB refill, exception and flush costs the emulator
        far more than it costs silicon) and moves from boot to boot with the host's
        load. QEMU's `-icount shift=0` advances the guest's clock one nanosecond per
        instruction executed, so a `CLOCK_MONOTONIC` window in the guest counts
        them, the same on every boot. What they leave out: cache misses, and the
        flash chip's own latency; a cold read's cost is the bytes it fetches (the
        cold section). `--wall` times the same runs in wall time instead."""), "",
        para(f"""Each figure is the median of {ROUNDS} rounds in one boot (the
        programs of a row run in turns), less the cost of reading the clock
        ({w.clock / 1e6:.3f} M). Reads are on a block2mtd partition, whose pages
        stay cached; writes on the kernel's NAND simulator, which holds its data
        in RAM and erases as flash does (a write to a drive waits for the host's
        disk, and while the processor idles the clock jumps). The board's
        programs come on a drive of their own, not in the initramfs."""), "",
        "- busybox read: `" + HEXDUMP.replace("$BB ", "").replace("$1", "N") + "`",
        "- busybox write: `printf` of the six bytes into",
        "  `dd of=/dev/mtdblockN bs=1 seek=57344 count=6 conv=notrunc`, then the same hexdump",
        "", "## Per operation", "",
        para("""Compare like with like: flashmac with busybox-musl (a firmware with a
        shared musl), flashmac-static with the static busybox (an initramfs or
        recovery image), and each with the plain program linked the same way.
        The bench reads how each program is linked from its ELF headers, and
        stops when a row's programs differ: a PIE pays its loader's relocations
        at every start."""),
        "", *linking_rows(saved.get("linking", {})), "", *time_rows(w.t, wall), "",
        para("""Where flashmac costs more than busybox, the defined operations do:
        the read maps and locks 64 KiB from the start of the partition, which on
        NAND is 16 pages of eight 512-byte NAND pages, each read and corrected
        by ECC, where hexdump reads the one page holding the record; the write
        maps and locks the whole partition, so on 1 MiB it reads 256 pages of
        NAND before the kernel rewrites the one erase block, where dd reads and
        rewrites that block alone. The plain programs pay the same. Over them,
        flashmac's page check (the partition's `MEMGETINFO` and one read a page;
        on NAND through the block device, whose pages the mapping then finds
        read) costs a few percent on NAND; on block2mtd its leaner start more
        than pays for it."""), "",
        "## The same figures, boot by boot", "",
        para(f"""The spread is (largest - smallest) / smallest over the boots; the
        largest here is {worst:.1f}%, so every figure lies within
        ±{worst / 2:.1f}% of the middle of its range."""), "",
        *boots, "",
        "## Erases asked of the NAND", "", *erase_rows(w.erases), "",
        "## A read at boot: cold, from a slow flash chip", "",
        para(f"""The first read after power-on finds nothing cached and waits for the
        chip: there the bytes fetched, not the instructions, are the cost. Each
        command ran with the page caches dropped first, on a {COLD_PART // KiB} KiB
        partition of a drive whose own read-ahead is off: what the drive under
        block2mtd read is what the command fetched from the "flash" (the board test
        asserts it), and the bus time is those bytes at a chip's speed (a 1-bit SPI
        NOR chip at 33 MHz gives about 4 MB/s, quad SPI about 20 MB/s)."""), "",
        *cold_rows(colds), "",
        para("""flashmac maps and locks a fixed 64 KiB window from the start of the
        partition (the tool's defined read), so it fetches those 16 pages, where
        busybox's hexdump and dd fetch the one page that holds the record. It
        fetches nothing more: before mapping, it reads one byte of each of those
        pages through the character device (which, on a failing page, answers at
        once), and then asks the kernel for exactly the mapped pages, so that the
        mapping's first fault reads nothing ahead past them. (On NAND, whose
        character device hides ECC failures, it reads those pages through the
        block device, which the mapping then finds read.)"""), "",
        "## Memory of one run", "",
        para("""Peak RSS is what busybox `time -v` reports for the child; about 1.1 MiB
        of it is the forked busybox before `exec`, so compare the rows, not the
        floor. Locked memory is the smallest `ulimit -l` under which a non-root
        write still succeeds: a write maps and locks its whole partition."""), "",
        *memory_rows(w.mem, w.lock), "",
        "## Stripped sizes", "",
        para(f"""flashmac's, for every build profile, are in
        [building.md](building.md#profiles-and-their-sizes), which the tests keep
        equal to the builds. The busybox-musl compared here: {BUSYBOX_MUSL.stat().st_size}
        bytes."""), "",
        f"Measured {saved['date']} {saved['machine']}.",
    ])


def spin():
    while True:
        pass


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--write")
    ap.add_argument("--boots", type=int, default=3)
    ap.add_argument("--load", type=int, default=os.cpu_count())
    ap.add_argument("--wall", action="store_true")
    ap.add_argument("--runs-scale", type=float, default=1.0)
    ap.add_argument("--render", help="a run's saved output (raw.json): only the report")
    a = ap.parse_args()
    # What only other boots need stays out: less to load at every boot.
    # (Boots with them aboard stalled while the guest still idled with
    # `wait`; with `nowait` they boot too.)
    b = board.Board(WORK, SDK, {}, leave_out=UNUSED)
    raw = WORK / "raw.json"
    if a.render:
        saved = json.loads(Path(a.render).read_text())
    else:
        load = [multiprocessing.Process(target=spin, daemon=True) for _ in range(a.load)]
        for p in load:
            p.start()
        try:
            saved = {"warm": [], "cold": {}, "load": a.load, "wall": a.wall,
                     "date": str(datetime.date.today()), "machine": machine(b, a.load),
                     "linking": linked_alike(b)}
            # Saved as it comes, so that a failure later keeps the boots done.
            for i in range(a.boots):
                saved["warm"].append(warm_boot(b, a.runs_scale, a.wall))
                raw.write_text(json.dumps(saved))
                print(f"warm boot {i + 1}: {b.boot_seconds:.0f} s")
            saved["cold"] = cold(b)
            raw.write_text(json.dumps(saved))
        finally:
            for p in load:
                p.terminate()
    warms = [Warm(out) for out in saved["warm"]]
    report = page(warms, saved)
    print(report)
    if a.write:
        Path(a.write).write_text(report + "\n")


if __name__ == "__main__":
    main()
