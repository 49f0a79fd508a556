#!/usr/bin/env python3
"""Debian's choices where the board's block-layer behaviour lives.

  kernel_config.py fragment SRC DEBIAN_CONFIG   prints a config fragment
  kernel_config.py check SRC DEBIAN_CONFIG CONFIG

Both look at every option declared under mm/, block/ and drivers/mtd/ of
the kernel tree SRC. `fragment` gives Debian's value of each, but for the
MTD drivers Debian builds as modules: those are the board's to build in,
load or leave out. `check` fails, listing them, when CONFIG sets any of
those options otherwise than Debian, with two kinds of exception: an MTD
driver's option whose driver the board leaves out, and the few helpers
below that only drivers the board does not build select.
"""
import re
import sys
from pathlib import Path

DIRS = ("mm", "block", "drivers/mtd")
# MTD's core and block devices; the folders below it hold its drivers.
MTD_CORE = Path("drivers/mtd/Kconfig")
# Options without a prompt that only these select.
SELECTED_ELSEWHERE = {
    "BLK_CGROUP_PUNT_BIO": "btrfs",
    "BLK_MQ_STACKING": "the device mapper",
    "BLOCK_HOLDER_DEPRECATED": "md and the device mapper",
    "HMM_MIRROR": "GPU and RDMA drivers",
    "MMU_NOTIFIER": "KVM, Xen and GPU drivers",
}


def symbols(src):
    """{name: the Kconfig file that declares it, relative to src}"""
    names = {}
    for d in DIRS:
        for k in Path(src, d).rglob("Kconfig*"):
            for n in re.findall(r"^\s*(?:menu)?config\s+(\w+)", k.read_text(), re.M):
                names[n] = k.relative_to(src)
    return names


def driver_option(kconfig):
    return kconfig.parts[:2] == MTD_CORE.parts[:2] and kconfig != MTD_CORE


def values(path):
    """{name: value}, with 'n' for '# CONFIG_X is not set'; options whose
    dependencies are unmet are absent."""
    out = {}
    for line in Path(path).read_text().splitlines():
        if m := re.match(r"CONFIG_(\w+)=(.*)", line):
            out[m[1]] = m[2]
        elif m := re.match(r"# CONFIG_(\w+) is not set", line):
            out[m[1]] = "n"
    return out


def main(argv):
    mode, src, debian = argv[1], argv[2], values(argv[3])
    where = symbols(src)
    names = sorted(where.keys() & debian.keys())
    if mode == "fragment":
        for s in names:
            v = debian[s]
            if v != "m" or not driver_option(where[s]):
                print(f"# CONFIG_{s} is not set" if v == "n" else f"CONFIG_{s}={v}")
        return 0
    ours = values(argv[4])
    def differs(s):
        mine = ours.get(s, "n" if debian[s] == "n" else None)
        if mine == debian[s] or s in SELECTED_ELSEWHERE:
            return False
        return not driver_option(where[s]) or (debian[s] != "m" and mine is not None)

    bad = [f"  CONFIG_{s}: Debian {debian[s]}, board {ours.get(s, 'unavailable')}"
           for s in names if differs(s)]
    if bad:
        print("kernel: these differ from Debian's config:", *bad, sep="\n", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
