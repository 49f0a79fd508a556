#!/usr/bin/env python3
"""Builds flashmac with real Buildroot, offline, from the repository's
external tree (packaging/buildroot), with the project's musl SDK as an
external toolchain and Buildroot's default hardening (PIE, full RELRO,
strong stack protector). Checks that the installed binary honours that
policy and needs only libc.so, then runs it on the emulated board on
flash that erases (the NAND simulator). A second configuration adds
4 KiB pages (-z max-page-size=4096) and must stay small. A third takes a
packager's steps outside a checkout: the package directory copied into
Buildroot's own package/, its site and commit set to a clone, fetched
through Buildroot's git download, its license checked against its .hash.

usage: buildroot_test.py --source DIR --tarball BUILDROOT.tar.xz
                         --sysroot SDK --work DIR
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "scripts" / "board"))
import board  # noqa: E402
import documented  # noqa: E402

SMALL_BUDGET = 10240  # with 4 KiB pages, stripped by Buildroot
CONFIGS = {"defaults": "", "4k-pages": "-Wl,-z,max-page-size=4096"}
# The second also turns on the boot helper's start-up script, with settings.
IFADDR = ('BR2_PACKAGE_FLASHMAC_IFADDR=y\nBR2_PACKAGE_FLASHMAC_IFADDR_PARTITION="art"\n'
          'BR2_PACKAGE_FLASHMAC_IFADDR_INTERFACE="lan0 lan1+1:la"\n')
DEFCONFIG = """\
BR2_mipsel=y
BR2_mips_32r2=y
BR2_MIPS_SOFT_FLOAT=y
BR2_DL_DIR="{dl}"
BR2_TOOLCHAIN_EXTERNAL=y
BR2_TOOLCHAIN_EXTERNAL_CUSTOM=y
BR2_TOOLCHAIN_EXTERNAL_PREINSTALLED=y
BR2_TOOLCHAIN_EXTERNAL_PATH="{sdk}"
BR2_TOOLCHAIN_EXTERNAL_CUSTOM_PREFIX="mipsel-linux-musl"
BR2_TOOLCHAIN_EXTERNAL_GCC_12=y
BR2_TOOLCHAIN_EXTERNAL_HEADERS_6_1=y
BR2_TOOLCHAIN_EXTERNAL_CUSTOM_MUSL=y
BR2_TOOLCHAIN_EXTERNAL_HAS_SSP=y
BR2_TOOLCHAIN_EXTERNAL_HAS_SSP_STRONG=y
BR2_TOOLCHAIN_EXTERNAL_CXX=y
BR2_TARGET_LDFLAGS="{ldflags}"
BR2_PACKAGE_FLASHMAC=y
"""
# The line a packager adds to Buildroot's package/Config.in.
IN_TREE = 'source "package/flashmac/Config.in"\n'
# Buildroot's tar check wants 1.35 for archives of VCS downloads, which a
# local package never makes; Debian 12 has 1.34.
FAKE_TAR = """#!/bin/sh
[ "$1" = --version ] && { echo "tar (GNU tar) 1.35"; exit 0; }
exec /usr/bin/tar "$@"
"""


def run(cmd, log, **kw):
    with open(log, "a") as f:
        r = subprocess.run(cmd, stdout=f, stderr=subprocess.STDOUT, **kw)
    if r.returncode != 0:
        sys.exit(f"{' '.join(map(str, cmd))} failed; end of {log}:\n"
                 + Path(log).read_text()[-4000:])


def offline_tree(tarball, work):
    """Unpacks Buildroot and points the one download a musl toolchain
    needs (NetBSD's sys/queue.h) at the copy Debian ships."""
    tree = work / Path(tarball).name.replace(".tar.xz", "")
    if not (tree / ".flashmac-ready").exists():
        shutil.rmtree(tree, ignore_errors=True)
        subprocess.run(["tar", "-xf", tarball, "-C", work], check=True)
        queue = Path("/usr/include/x86_64-linux-gnu/sys/queue.h")
        dl = work / "dl" / "musl-compat-headers"
        dl.mkdir(parents=True, exist_ok=True)
        shutil.copy(queue, dl / "queue.h")
        digest = subprocess.run(["sha256sum", queue], capture_output=True, text=True,
                                check=True).stdout.split()[0]
        h = tree / "package" / "musl-compat-headers" / "musl-compat-headers.hash"
        h.write_text(re.sub(r"sha256\s+\S+\s+queue.h", f"sha256  {digest}  queue.h",
                            h.read_text()))
        (tree / ".flashmac-ready").touch()
    # What the packager's step of a run that was killed may have left.
    shutil.rmtree(tree / "package" / "flashmac", ignore_errors=True)
    menu = tree / "package" / "Config.in"
    menu.write_text(menu.read_text().replace(IN_TREE, ""))
    bindir = work / "bin"
    bindir.mkdir(exist_ok=True)
    (bindir / "tar").write_text(FAKE_TAR)
    (bindir / "tar").chmod(0o755)
    return tree


def build(tree, src, sdk, work, name, ldflags, external=True):
    """Configures and builds the package alone, from the external tree or,
    not external, from Buildroot's own package/; returns the target binary."""
    out = work / f"out-{name}"
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir(parents=True)
    log = work / f"{name}.log"
    log.write_text("")
    defconfig = out / "defconfig"
    defconfig.write_text(DEFCONFIG.format(dl=work / "dl", sdk=sdk, ldflags=ldflags)
                         + (IFADDR if name == "4k-pages" else ""))
    env = dict(os.environ, PATH=f"{work / 'bin'}:{os.environ['PATH']}")
    for v in ("CC", "CXX", "CFLAGS", "CXXFLAGS", "LDFLAGS", "MAKEFLAGS", "MFLAGS"):
        env.pop(v, None)
    make = ["make", "-C", str(tree), f"O={out}"]
    ext = [f"BR2_EXTERNAL={src}/packaging/buildroot"] if external else []
    run(make + ext + [f"BR2_DEFCONFIG={defconfig}", "defconfig"], log, env=env)
    # Every cmake-package depends on host-pkgconf, a download: the
    # system's pkgconf stands in for it.
    version = re.search(r"^PKGCONF_VERSION = (\S+)", (
        tree / "package" / "pkgconf" / "pkgconf.mk").read_text(), re.M).group(1)
    stamps = out / "build" / f"host-pkgconf-{version}"
    stamps.mkdir(parents=True)
    for s in ("downloaded", "extracted", "patched", "configured", "built",
              "host_installed"):
        (stamps / f".stamp_{s}").touch()
    (out / "host" / "bin").mkdir(parents=True)
    (out / "host" / "bin" / "pkg-config").symlink_to(shutil.which("pkgconf"))
    run(make + ["flashmac"], log, env=env)
    if not external:
        run(make + ["flashmac-legal-info"], log, env=env)
    pkg = next((out / "build").glob("flashmac-*"))
    copied = [d for d in (".cache", "build", ".git") if (pkg / d).exists()]
    print(f"{name}: sources in {pkg.name}, repository folders copied: {copied or 'none'}")
    if copied:
        sys.exit(f"the package's sources include {copied}")
    # Stripped as Buildroot's target-finalize strips the root filesystem.
    binary = work / f"flashmac-{name}"
    shutil.copy(out / "target" / "usr" / "bin" / "flashmac", binary)
    subprocess.run([f"{sdk}/bin/mipsel-linux-musl-strip", "--remove-section=.comment",
                    "--remove-section=.note", binary], check=True)
    return binary


def in_tree(tree, src, work):
    """A packager's copy of the package directory in Buildroot's package/,
    pointed at a clone's HEAD; undone by the returned function."""
    clone = work / "flashmac.git"
    shutil.rmtree(clone, ignore_errors=True)
    subprocess.run(["git", "clone", "-q", src, clone], check=True)
    commit = subprocess.run(["git", "-C", clone, "rev-parse", "HEAD"], capture_output=True,
                            text=True, check=True).stdout.strip()
    pkg = tree / "package" / "flashmac"
    shutil.rmtree(pkg, ignore_errors=True)
    shutil.copytree(src / "packaging" / "buildroot" / "package" / "flashmac", pkg)
    mk = pkg / "flashmac.mk"
    text = re.sub(r"^FLASHMAC_VERSION = .*$", f"FLASHMAC_VERSION = {commit}",
                  mk.read_text(), flags=re.M)
    mk.write_text(re.sub(r"^FLASHMAC_SITE = .*$", f"FLASHMAC_SITE = file://{clone}", text,
                         flags=re.M))
    menu = tree / "package" / "Config.in"
    listed = menu.read_text()
    menu.write_text(listed + IN_TREE)

    def undo():
        menu.write_text(listed)
        shutil.rmtree(pkg)
    return undo


def readelf(sdk, args, binary):
    return subprocess.run([f"{sdk}/bin/mipsel-linux-musl-readelf", *args, binary],
                          capture_output=True, text=True, check=True).stdout


class Checker:
    def __init__(self):
        self.passed = self.failed = 0

    def expect(self, what, ok):
        print(("ok   " if ok else "FAIL ") + what)
        if ok:
            self.passed += 1
        else:
            self.failed += 1


def check_binary(chk, sdk, name, binary):
    head, phdrs = readelf(sdk, ["-hW"], binary), readelf(sdk, ["-lW"], binary)
    dyn, syms = readelf(sdk, ["-dW"], binary), readelf(sdk, ["--dyn-syms", "-W"], binary)
    needed = re.findall(r"\(NEEDED\).*\[(.*)\]", dyn)
    size = binary.stat().st_size
    print(f"{name}: {size} bytes stripped, NEEDED {needed}")
    chk.expect(f"{name}: PIE", re.search(r"Type:\s+DYN", head) is not None)
    chk.expect(f"{name}: GNU_RELRO segment", "GNU_RELRO" in phdrs)
    chk.expect(f"{name}: BIND_NOW", re.search(r"FLAGS.*\bNOW\b", dyn) is not None)
    chk.expect(f"{name}: stack protector", "__stack_chk_" in syms)
    chk.expect(f"{name}: needs only libc.so", needed == ["libc.so"])
    chk.expect(f"{name}: musl soft-float loader",
               "[Requesting program interpreter: /lib/ld-musl-mipsel-sf.so.1]" in phdrs)
    return size


def on_board(chk, work, sdk, binaries):
    """Read, write and read again on NAND, which erases, with each build."""
    b = board.Board(work / "board", sdk, {f"/usr/bin/{n}": p for n, p in binaries.items()})
    script = "dd if=/dev/zero bs=16k count=8 2>/dev/null | tr '\\0' '\\377' > /tmp/blank\n"
    for i, n in enumerate(binaries):
        script += (f"dd if=/tmp/blank of=/dev/mtdblock{i} bs=16k conv=fsync 2>/dev/null\n"
                   f"echo \"{n} $({n} {i}) $({n} {i} 02:b0:07:00:00:0{i} 2>&1)"
                   f" $({n} {i} 2>&1) $?\"\n")
    out = b.run([], script, nandsim="first_id_byte=0x20 second_id_byte=0x73 parts=8,8,8")
    for i, n in enumerate(binaries):
        want = f"{n} FF:FF:FF:FF:FF:FF 02:B0:07:00:00:0{i} 02:B0:07:00:00:0{i} 0"
        chk.expect(f"{n} on the board's NAND: read, write, read back", want in out)


def main():
    ap = argparse.ArgumentParser()
    for a in ("--source", "--tarball", "--sysroot", "--work"):
        ap.add_argument(a, required=True)
    a = ap.parse_args()
    src, sdk = Path(a.source).resolve(), Path(a.sysroot).resolve()
    work = Path(a.work).resolve()
    work.mkdir(parents=True, exist_ok=True)
    tree = offline_tree(a.tarball, work)
    chk = Checker()
    binaries, sizes = {}, {}
    for name, ldflags in CONFIGS.items():
        binaries[f"flashmac-{name}"] = build(tree, src, sdk, work, name, ldflags)
        sizes[name] = check_binary(chk, sdk, name, binaries[f"flashmac-{name}"])
    for name in CONFIGS:
        target = work / f"out-{name}" / "target"
        init = target / "etc" / "init.d" / "S38flashmac-ifaddr"
        on = name == "4k-pages"
        chk.expect(f"{name}: the helpers beside flashmac, and the shell they share",
                   all(os.access(target / "usr" / "bin" / f, os.X_OK)
                       for f in ("flashmac-ifaddr", "flashmac-provision"))
                   and (target / "usr" / "share" / "flashmac" / "helpers.sh").is_file())
        chk.expect(f"{name}: the start-up script only when turned on, executable",
                   os.access(init, os.X_OK) if on else not init.exists())
        if on and init.exists():
            text = init.read_text()
            chk.expect(f"{name}: the start-up script carries the settings",
                       "\nPARTITION='art'\n" in text and "\nINTERFACE='lan0 lan1+1:la'\n" in text)
    chk.expect(f"4 KiB pages: at most {SMALL_BUDGET} bytes (is {sizes['4k-pages']})",
               sizes["4k-pages"] <= SMALL_BUDGET)
    documented.check(chk.expect, "Buildroot 2026.02 defaults", sizes["defaults"])
    documented.check(chk.expect, "Buildroot with", sizes["4k-pages"])
    undo = in_tree(tree, src, work)
    try:
        binaries["flashmac-git"] = build(tree, src, sdk, work, "git", "", external=False)
    finally:
        undo()
    check_binary(chk, sdk, "git", binaries["flashmac-git"])
    on_board(chk, work, sdk, binaries)
    print(f"{chk.passed} passed, {chk.failed} failed")
    sys.exit(1 if chk.failed else 0)


if __name__ == "__main__":
    main()
