"""An emulated MIPS Malta board with real Linux MTD devices, for running
the device binary: Debian's 4kc-malta kernel and busybox in an initramfs,
flash partitions from block2mtd over virtio drives whose image files stay
on the host (optionally with sectors that fail every read), mtdram, the
board's own CFI NOR chip (its image also on the host) and the kernel's NAND
simulator. The last two really erase: the kernel's block device reads,
erases and reprograms a whole erase block.

The guest runs a shell script; what it writes to $RESULTS comes back to
the host through a drive of its own, free of console noise.
"""
import os
import shlex
import struct
import subprocess
import time
from pathlib import Path

TOP = Path(__file__).resolve().parents[2]
CACHE = TOP / ".cache"
SECTOR = 512
# Partitions start here on every drive: past the MBR, on an erase boundary.
FIRST = 0x10000
RESULTS_SIZE = 1 << 20
INTERP = "/lib/ld-musl-mipsel-sf.so.1"
# Loaded on demand, with parameters, in a fixed order: MTD numbers follow
# block2mtd's partitions, then mtdram, the NOR chip's partitions, nandsim's.
CFI = ["gen_probe.ko", "cfi_util.ko", "cfi_probe.ko", "cfi_cmdset_0001.ko",
       "physmap.ko"]
ON_DEMAND = {"mtdram.ko", "nand.ko", "nandsim.ko", *CFI}
NOR_MODULE = TOP / "scripts" / "board" / "malta-nor"
# The Malta board's NOR chip and the partitions malta_nor.c declares on it.
NOR_SIZE = 4 << 20
NOR_PARTS = [(0, 0x100000), (0x100000, 0x40000), (0x140000, 0x10000),
             (0x150000, NOR_SIZE - 0x150000)]
# The guest counts erase requests to every MTD device with the function
# tracer (a kprobe there crashed this kernel now and then); `erases` prints
# how many since its last call.
ERASES = """#!/bin/sh
t=/sys/kernel/tracing
[ -w $t/trace ] || { echo -; exit; }
n=$(grep -c ' mtd_erase <-' $t/trace); echo > $t/trace; echo $n
"""
# `sectors vdX` prints how many sectors drive vdX has read since boot: with
# the drive's read-ahead off (as the board sets it), what the MTD layer
# fetched from that "flash".
SECTORS = """#!/bin/sh
set -- $(cat /sys/block/$1/stat); echo $3
"""


# The newer kernel takes minutes to build: it is kept outside the tree, for
# every clone on this machine.
KERNEL_CACHE = Path(os.environ.get("FLASHMAC_KERNEL_CACHE",
                                   Path.home() / ".cache" / "flashmac"))
# The kernels the board boots: Debian 12's own, and 6.12 (the long-term
# line of current firmware and of Debian 13), built from Debian's source.
KERNELS = {"6.1": CACHE / "board", "6.12": KERNEL_CACHE / "linux-6.12"}


def fetch(board_dir=CACHE / "board"):
    subprocess.run([TOP / "scripts" / "fetch-board.sh", board_dir], check=True)
    return Path(board_dir)


def kernel_ready(kernel):
    """Whether the kernel is there, built from the config in this tree."""
    if kernel == "6.1":
        return (KERNELS[kernel] / ".complete").exists()
    return subprocess.run([TOP / "scripts" / "board" / "build-kernel.sh", "--check",
                           KERNELS["6.1"], KERNELS[kernel]]).returncode == 0


def kernel(kernel):
    """The board directory of a kernel, fetched or built when missing."""
    if kernel == "6.1":
        return fetch(KERNELS[kernel])
    subprocess.run([TOP / "scripts" / "board" / "build-kernel.sh", KERNELS["6.1"],
                    KERNELS[kernel]], check=True)
    return KERNELS[kernel]


class Drive:
    """An image file with an MBR and up to four primary partitions, each of
    which the guest hands to block2mtd with the drive's erase size."""

    def __init__(self, path, erase, sizes, unreadable=(), read_bps=None):
        """unreadable: (partition, offset) pairs whose sector fails every
        read, as a worn flash page does (QEMU's blkdebug). read_bps: reads
        throttled to this many bytes a second, as a flash chip's bus is."""
        assert 1 <= len(sizes) <= 4
        assert all(s % erase == 0 and s % SECTOR == 0 for s in sizes)
        self.path, self.erase, self.sizes = Path(path), erase, list(sizes)
        self.unreadable = list(unreadable)
        self.read_bps = read_bps
        self.offsets = []
        off = FIRST
        for s in sizes:
            self.offsets.append(off)
            off += -(-s // FIRST) * FIRST
        self.total = off

    def create(self, contents):
        """Writes a fresh image; contents[i] fills partition i."""
        img = bytearray(self.total)
        entries = b""
        for off, size, data in zip(self.offsets, self.sizes, contents):
            assert len(data) == size
            img[off:off + size] = data
            # Non-bootable, type 0x83, CHS unused, LBA start and length.
            entries += struct.pack("<B3sB3sII", 0, b"\xff\xff\xff", 0x83,
                                   b"\xff\xff\xff", off // SECTOR, size // SECTOR)
        img[446:446 + len(entries)] = entries
        img[510:512] = b"\x55\xaa"
        self.path.write_bytes(img)

    def qemu_file(self):
        """The drive's -drive file= value: the image, behind blkdebug
        rules when some of its sectors fail."""
        if not self.unreadable:
            return str(self.path)
        rules = self.path.with_suffix(".blkdebug")
        rules.write_text("".join(
            f'[inject-error]\nevent = "read_aio"\nerrno = "5"\n'
            f'sector = "{(self.offsets[p] + off) // SECTOR}"\nonce = "off"\n\n'
            for p, off in self.unreadable))
        return f"blkdebug:{rules}:{self.path}"

    def partition(self, i):
        with open(self.path, "rb") as f:
            f.seek(self.offsets[i])
            return f.read(self.sizes[i])


class Disk:
    """An image file the guest sees as a plain disk, /dev/vdX, with no
    partition table and no MTD device over it (a station's storage)."""

    def __init__(self, path):
        self.path, self.sizes, self.read_bps = Path(path), [], None

    def create(self, data):
        self.path.write_bytes(data)

    def qemu_file(self):
        return str(self.path)


def _cpio(entries):
    """A newc archive from (name, mode, data or link target) tuples."""
    out = bytearray()
    for ino, (name, mode, data) in enumerate(entries + [("TRAILER!!!", 0, b"")], 1):
        data = data.encode() if isinstance(data, str) else data
        nameb = name.encode() + b"\0"
        hdr = "070701" + "".join(f"{v:08X}" for v in (
            ino, mode, 0, 0, 1, 0, len(data), 0, 0, 0, 0, len(nameb), 0))
        out += hdr.encode() + nameb
        out += b"\0" * (-len(out) % 4) + data
        out += b"\0" * (-len(out) % 4)
    return bytes(out)


def nor_module(board_dir, work):
    """The module that declares the NOR chip: built with the kernel where the
    kernel is built here, else against the headers of the board's kernel."""
    built = Path(board_dir) / "malta_nor.ko"
    if built.exists():
        return built
    out = Path(work) / "malta-nor"
    ko = out / "malta_nor.ko"
    src = sorted(NOR_MODULE.iterdir())
    if ko.exists() and all(ko.stat().st_mtime >= f.stat().st_mtime for f in src):
        return ko
    out.mkdir(parents=True, exist_ok=True)
    for f in src:
        (out / f.name).write_bytes(f.read_bytes())
    subprocess.run(["make", "-s", "-C", str(Path(board_dir) / "headers"), f"M={out.resolve()}",
                    "ARCH=mips", "CROSS_COMPILE=mipsel-linux-gnu-", "modules"],
                   check=True, stdout=subprocess.DEVNULL)
    return ko


class Nor:
    """The board's 4 MiB CFI NOR chip, kept in an image file on the host."""

    def __init__(self, path):
        self.path = Path(path)

    def create(self, contents):
        """contents[i] fills partition i of NOR_PARTS; None leaves 0xFF."""
        img = bytearray(b"\xff" * NOR_SIZE)
        for (off, size), data in zip(NOR_PARTS, contents):
            if data is not None:
                assert len(data) == size
                img[off:off + size] = data
        self.path.write_bytes(img)

    def partition(self, i):
        off, size = NOR_PARTS[i]
        return self.path.read_bytes()[off:off + size]


class Board:
    def __init__(self, workdir, sysroot, binaries, board_dir=None, leave_out=()):
        """binaries: {guest path: host path} of programs to put in /usr/bin;
        leave_out: modules (file names) its boots neither carry nor load."""
        self.dir = Path(board_dir) if board_dir else fetch()
        self.leave_out = set(leave_out)
        self.work = Path(workdir)
        self.work.mkdir(parents=True, exist_ok=True)
        self.sysroot = Path(sysroot)
        self.binaries = binaries
        self.console = ""
        self.boot_seconds = 0.0

    def _init(self, drives, mtdram, nor, nandsim, disk=False):
        mods = [m for m in (self.dir / "modules" / "order").read_text().split()
                if m not in self.leave_out]
        lines = [
            "#!/bin/sh",
            "/bin/busybox --install -s /bin",
            "export PATH=/bin:/usr/bin",
            "mount -t devtmpfs dev /dev; mount -t proc proc /proc",
            "mount -t sysfs sys /sys; mount -t tmpfs tmp /tmp",
        ]
        lines += [f"insmod /lib/modules/{m}" for m in mods if m not in ON_DEMAND]
        lines += [
            "mount -t tracefs trace /sys/kernel/tracing 2>/dev/null &&"
            " echo mtd_erase > /sys/kernel/tracing/set_ftrace_filter &&"
            " echo function > /sys/kernel/tracing/current_tracer",
        ]
        # Drives probe asynchronously: wait for every partition node.
        names = []
        for d, drive in enumerate(drives):
            for p in range(len(drive.sizes)):
                names.append((f"/dev/vd{'abcd'[d]}{p + 1}", drive.erase))
        disks = [f"/dev/vd{'abcd'[d]}" for d, drive in enumerate(drives)
                 if isinstance(drive, Disk)]
        programs = f"/dev/vd{'abcd'[len(drives)]}" if disk else None
        results = f"/dev/vd{'abcd'[len(drives) + disk]}"
        for node in [n for n, _ in names] + disks + [programs, results]:
            if node:
                lines.append(f"i=0; while [ ! -b {node} ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i+1)); done")
        if programs:
            lines.append(f"(cd / && cpio -idmu < {programs} 2>/dev/null)")
        # A flash chip has no read-ahead beneath MTD; the drive's would
        # blur what the MTD layer fetched (its sectors-read counter).
        for d in range(len(drives)):
            lines.append(f"echo 0 > /sys/block/vd{'abcd'[d]}/queue/read_ahead_kb")
        for node, erase in names:
            lines.append(f"echo {node},{erase} > /sys/module/block2mtd/parameters/block2mtd")
        # A kernel may have built in what another loads (but for these two,
        # which make their device as they load).
        loadable = set(mods) | {"mtdram.ko", "nandsim.ko"}
        if mtdram:
            kib, erase_kib = mtdram
            lines.append(f"insmod /lib/modules/mtdram.ko total_size={kib} erase_size={erase_kib}")
        if nor:
            lines += [f"insmod /lib/modules/{m}" for m in CFI if m in loadable]
            lines.append("insmod /lib/modules/malta_nor.ko")
        if nandsim is not None:
            lines += ["insmod /lib/modules/nand.ko"] if "nand.ko" in loadable else []
            lines.append(f"insmod /lib/modules/nandsim.ko {nandsim}")
        lines.append("erases >/dev/null")
        lines += [
            "export RESULTS=/tmp/results",
            "( cd /tmp && sh /scenario.sh ) > $RESULTS 2>&1",
            "echo \"@end $?\" >> $RESULTS",
            f"dd if=$RESULTS of={results} bs=4096 conv=fsync 2>/dev/null",
            "sync",
            "poweroff -f",
        ]
        return "\n".join(lines) + "\n"

    def _initramfs(self, init, scenario, files):
        entries = [(d, 0o40755, b"") for d in (
            "bin", "dev", "proc", "sys", "tmp", "lib", "lib/modules", "etc", "etc/init.d",
            "usr", "usr/bin")]
        entries += [
            ("bin/busybox", 0o100755, (self.dir / "busybox").read_bytes()),
            ("bin/sh", 0o120777, "busybox"),
            ("init", 0o100755, init),
            ("scenario.sh", 0o100644, scenario),
            ("bin/erases", 0o100755, ERASES),
            ("bin/sectors", 0o100755, SECTORS),
            ("etc/passwd", 0o100644,
             "root:x:0:0:root:/:/bin/sh\nnobody:x:65534:65534:nobody:/:/bin/sh\n"),
            ("etc/group", 0o100644, "root:x:0:\nnogroup:x:65534:\n"),
            (INTERP.lstrip("/"), 0o100755,
             (self.sysroot / "usr" / "lib" / "libc.so").read_bytes()),
        ]
        for m in (self.dir / "modules").glob("*.ko"):
            if m.name not in self.leave_out:
                entries.append((f"lib/modules/{m.name}", 0o100644, m.read_bytes()))
        # Folders the programs and files need beyond those above.
        have = {e[0] for e in entries}
        for guest in [*self.binaries, *files]:
            for parent in reversed(Path(guest.lstrip("/")).parents[:-1]):
                if str(parent) not in have:
                    have.add(str(parent))
                    entries.append((str(parent), 0o40755, b""))
        for guest, host in self.binaries.items():
            entries.append((guest.lstrip("/"), 0o100755, Path(host).read_bytes()))
        for guest, data in files.items():
            entries.append((guest.lstrip("/"), 0o100644, data))
        path = self.work / "initramfs.cpio"
        path.write_bytes(_cpio(entries))
        return path

    def run(self, drives, script, mtdram=None, nor=None, nandsim=None, files=None,
            timeout=120, nic=False, disk_files=None, qemu_args=(), append="",
            cut=None):
        """Boots with the drives (image files must exist; a Disk is left
        to the script), runs the script
        as root, powers off. Returns what the script wrote to stdout.
        mtdram: (KiB, erase KiB); nor: a Nor whose image exists; nandsim: the
        simulator's module parameters; files: {guest path: bytes} to add;
        nic: the board's PCnet network interface, eth0, which reaches
        nothing (QEMU's user network, restricted); disk_files: {guest path:
        host path} of programs brought on a drive of their own and unpacked
        before the script, for a small initramfs (a large one stalls boots
        that count instructions); qemu_args: added to QEMU's; append: to
        the kernel's command line; cut: called while the board runs: when
        it returns true, the power is cut (QEMU killed) and run returns
        None."""
        assert len(drives) + bool(disk_files) <= 3, "the board hangs with many virtio drives"
        results = self.work / "results.img"
        results.write_bytes(b"\0" * RESULTS_SIZE)
        files = dict(files or {})
        if nor:
            files["/lib/modules/malta_nor.ko"] = nor_module(self.dir, self.work).read_bytes()
        initrd = self._initramfs(self._init(drives, mtdram, nor, nandsim, bool(disk_files)),
                                 script, files)
        cmd = ["qemu-system-mipsel", "-M", "malta", "-m", "256", "-nographic",
               "-no-reboot", "-nic", "user,model=pcnet,restrict=on" if nic else "none",
               "-kernel", str(self.dir / "vmlinuz"), "-initrd", str(initrd),
               "-append", f"console=ttyS0 rdinit=/init panic=-1 quiet {append}".rstrip()]
        for d in drives:
            throttle = f",throttling.bps-read={d.read_bps}" if d.read_bps else ""
            cmd += ["-drive", f"file={d.qemu_file()},if=virtio,format=raw{throttle}"]
        if disk_files:
            disk = self.work / "programs.cpio"
            data = _cpio([(g.lstrip("/"), 0o100755, Path(h).read_bytes())
                          for g, h in disk_files.items()])
            disk.write_bytes(data + b"\0" * (-len(data) % SECTOR))
            cmd += ["-drive", f"file={disk},if=virtio,format=raw,readonly=on"]
        cmd += ["-drive", f"file={results},if=virtio,format=raw"]
        cmd += list(qemu_args)
        if nor:
            cmd += ["-drive", f"file={nor.path},if=pflash,format=raw"]
        start = time.monotonic()
        console = self.work / "console.log"
        ended = None  # "cut" or "timeout" when the test stopped the board
        with open(console, "wb") as log:
            p = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=log,
                                 stderr=subprocess.STDOUT)
            try:
                # A cut is watched for every millisecond, as the flash is
                # written; otherwise the board is left to power off.
                while p.poll() is None and not ended:
                    if cut and cut():
                        ended = "cut"
                    elif time.monotonic() - start > timeout:
                        ended = "timeout"
                    else:
                        time.sleep(0.001 if cut else 0.05)
            finally:
                if p.poll() is None:
                    p.kill()
                    p.wait()
        self.console = console.read_text(errors="replace")
        self.boot_seconds = time.monotonic() - start
        if ended == "cut":
            return None
        if ended == "timeout":
            raise RuntimeError(f"board did not power off within {timeout} s; "
                               f"console ends:\n{self.console[-3000:]}")
        out = results.read_bytes().split(b"\0", 1)[0].decode(errors="replace")
        if "@end " not in out:
            raise RuntimeError("board ran no scenario; console ends:\n"
                               + self.console[-3000:])
        return out


def quote(args):
    return " ".join(shlex.quote(a) for a in args)
