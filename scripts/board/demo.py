#!/usr/bin/env python3
"""flashmac on an emulated MIPS board: reads the address in a 128 KiB flash
partition, writes a new one, and after a power cycle reads it again.

usage: demo.py [NEW_ADDRESS]
"""
import sys

import board

NEW = sys.argv[1] if len(sys.argv) > 1 else "02:fa:57:0c:ad:e5"
OFF = 0xE000


def main():
    work = board.TOP / "build" / "demo"
    binary = board.TOP / "build" / "mipsel-musl-sf" / "flashmac"
    sysroot = board.CACHE / "sysroot-mipsel-musl-sf"
    b = board.Board(work, sysroot, {"/usr/bin/flashmac": binary})
    drive = board.Drive(work / "flash.img", 64 * 1024, [128 * 1024])
    part = bytearray(b"\xff" * 128 * 1024)
    part[OFF:OFF + 6] = bytes.fromhex("020000c0ffee")
    drive.create([bytes(part)])

    def show(title, cmds):
        script = "".join(
            f"echo '# {board.quote(c)}'; {board.quote(c)}; echo \"   (exit $?)\"\n"
            for c in cmds)
        print(f"--- {title}")
        print(b.run([drive], "cat /proc/mtd\n" + script).replace("@end 0", "").rstrip())
        print(f"    (boot to power-off: {b.boot_seconds:.1f} s)")

    show("first boot", [["flashmac", "0"], ["flashmac", "0", NEW]])
    show("second boot, same flash image", [["flashmac", "0"]])
    rec = drive.partition(0)[OFF:OFF + 6]
    print(f"--- on the host: {drive.path} at offset 0x{drive.offsets[0] + OFF:X} "
          f"(partition offset 0x{OFF:X}) holds {rec.hex(':').upper()}")


if __name__ == "__main__":
    main()
