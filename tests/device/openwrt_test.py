#!/usr/bin/env python3
"""The OpenWrt package as OpenWrt builds it, with real OpenWrt (main line),
offline. It takes a user's steps with packaging/openwrt/flashmac copied into
a local feed and only the source's URL and commit edited: feeds, a ramips
mt7621 .config (mipsel_24kc, musl, MIPS16), download, `check FIXUP=1`, a
fresh download that must pass the hash it wrote, prepare. Then OpenWrt's
own rules (package.mk, cmake.mk) configure, compile and install it, with
the flags OpenWrt gives the package. Checks the binary in PKG_INSTALL_DIR
and runs it under the board test's cases on Linux 6.12, the kernel
OpenWrt's main line uses, and on 6.1, the package's init script there
under OpenWrt's own rc.common and shell library.

Stand-ins, for what OpenWrt would download and build first:
- its toolchain (gcc 14, musl): the project's musl soft-float SDK, under
  the name and in the place OpenWrt expects, behaving as OpenWrt's GCC
  does (no PIE unless asked, GCC's crtbegin.o and crtend.o around a
  program, no --as-needed, the C++ runtime added to C++ links) and passing
  over -fhonour-copts, an option of OpenWrt's patched GCC;
- its host cmake and ninja: the host's.

usage: openwrt_test.py --source DIR --tarball OPENWRT.tar.xz --sysroot SDK --work DIR
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

import documented

HERE = Path(__file__).resolve().parent
BUDGET = 70 * 1024  # stripped, with RELRO padded to MIPS's 64 KiB page
CONFIG = "CONFIG_TARGET_ramips=y\nCONFIG_TARGET_ramips_mt7621=y\nCONFIG_PACKAGE_flashmac=y\n"
# The stand-in compiler drivers; @SDK@ is the project's musl SDK's prefix.
DRIVER = """#!/bin/sh
# Stand-in for OpenWrt's mipsel-openwrt-linux-musl-@TOOL@ (see openwrt_test.py).
n=$#
link=1
while [ $n -gt 0 ]; do
  a=$1; shift; n=$((n - 1))
  case "$a" in
    -fhonour-copts) continue ;;
    -c|-E|-S|-M|-MM) link= ;;
  esac
  set -- "$@" "$a"
done
# OpenWrt's GCC makes no PIE unless asked (Debian's, under the SDK, does).
[ -z "$link" ] && exec @SDK@@TOOL@ -fno-pie "$@"
# GCC's own start files around a fixed-address program, as OpenWrt's GCC
# links it (the SDK leaves them out): their init and fini arrays are what
# RELRO covers there.
case " $* " in
  *" -shared "*|*" -pie "*|*" -static "*|*" -nostartfiles "*|*" -nostdlib "*|*" -r "*) ;;
  *) set -- -nostartfiles @LIB@/crt1.o @LIB@/crti.o @STUBS@/crtbegin.o "$@" \
       @STUBS@/crtend.o @LIB@/crtn.o ;;
esac
rt=""
if [ @TOOL@ = g++ ]; then
  case " $* " in *" -nostdlib "*|*" -nodefaultlibs "*) ;;
    *) rt="-L@STUBS@ -lstdc++ -lm -lgcc_s" ;; esac
fi
exec @SDK@gcc -fno-pie -no-pie -Wl,--no-as-needed "$@" $rt
"""


class Run:
    def __init__(self, tree, log):
        self.tree, self.log = tree, log
        self.env = {k: v for k, v in os.environ.items()
                    if k not in ("MAKEFLAGS", "MFLAGS", "CC", "CXX", "CFLAGS",
                                 "CXXFLAGS", "LDFLAGS")}

    def __call__(self, *cmd, check=True):
        start = time.monotonic()
        with open(self.log, "a") as f:
            f.write(f"$ {' '.join(map(str, cmd))}\n")
            f.flush()
            r = subprocess.run(list(map(str, cmd)), cwd=self.tree, env=self.env,
                               stdout=f, stderr=subprocess.STDOUT)
        print(f"{' '.join(map(str, cmd[:3]))}: exit {r.returncode}, "
              f"{time.monotonic() - start:.0f} s")
        if check and r.returncode:
            sys.exit(f"failed; end of {self.log}:\n" + Path(self.log).read_text()[-4000:])
        return r.returncode

    def val(self, pkgdir, name):
        return subprocess.run(["make", "-s", "-C", pkgdir, f"TOPDIR={self.tree}", f"val.{name}"],
                              cwd=self.tree, env=self.env, capture_output=True, text=True,
                              check=True).stdout.strip()


def user_package(src, feed, url, commit):
    """packaging/openwrt/flashmac with the source's URL and commit set,
    and nothing else changed."""
    pkg = feed / "utils" / "flashmac"
    shutil.copytree(src / "packaging" / "openwrt" / "flashmac", pkg)
    mk = pkg / "Makefile"
    text = mk.read_text()
    for var, value in (("PKG_SOURCE_URL", url), ("PKG_SOURCE_VERSION", commit)):
        text, n = re.subn(rf"^{var}:=.*$", f"{var}:={value}", text, flags=re.M)
        assert n == 1, var
    mk.write_text(text)
    return mk


def stand_ins(run, tree, pkgdir, sdk, work):
    toolchain = Path(run.val(pkgdir, "TOOLCHAIN_DIR"))
    cross = run.val(pkgdir, "TARGET_CROSS")
    stubs = work / "stubs"
    stubs.mkdir()
    # A link that records the C++ runtime as NEEDED gives a binary that
    # does not start on a device without it: these make such a link show.
    (stubs / "stub.c").write_text("void stub(void) {}\n")
    for so in ("libstdc++.so.6", "libgcc_s.so.1"):
        subprocess.run([f"{sdk}/bin/mipsel-linux-musl-gcc", "-shared", "-fPIC", "-nostdlib",
                        f"-Wl,-soname,{so}", stubs / "stub.c", "-o", stubs / so], check=True)
        (stubs / (so.split(".so")[0] + ".so")).symlink_to(so)
    for crt in ("crtbegin.o", "crtend.o"):
        gcc_crt = subprocess.run(["mipsel-linux-gnu-gcc", f"-print-file-name={crt}"],
                                 capture_output=True, text=True, check=True).stdout.strip()
        # Free of FPU code; its hard-float label goes, as the SDK's crtbeginS.o's.
        subprocess.run([f"{sdk}/bin/mipsel-linux-musl-objcopy", "-R", ".gnu.attributes",
                        "-R", ".MIPS.abiflags", gcc_crt, stubs / crt], check=True)
    bindir = toolchain / "bin"
    bindir.mkdir(parents=True)
    for tool in ("gcc", "g++"):
        driver = bindir / f"{cross}{tool}"
        driver.write_text(DRIVER.replace("@SDK@", f"{sdk}/bin/mipsel-linux-musl-")
                          .replace("@TOOL@", tool).replace("@STUBS@", str(stubs))
                          .replace("@LIB@", f"{sdk}/usr/lib"))
        driver.chmod(0o755)
    for tool in ("ar", "as", "ld", "nm", "objcopy", "objdump", "ranlib", "readelf", "size",
                 "strings", "strip"):
        real = Path(f"{sdk}/bin/mipsel-linux-musl-{tool}").resolve()
        (bindir / f"{cross}{tool}").symlink_to(real)
        if tool in ("ar", "nm", "ranlib"):  # cmake.mk takes GCC's LTO-aware wrappers
            (bindir / f"{cross}gcc-{tool}").symlink_to(real)
    host = tree / "staging_dir" / "host" / "bin"
    for tool in ("cmake", "ninja"):
        (host / tool).unlink(missing_ok=True)
        (host / tool).symlink_to(shutil.which(tool))


def main():
    ap = argparse.ArgumentParser()
    for a in ("--source", "--tarball", "--sysroot", "--work"):
        ap.add_argument(a, required=True)
    a = ap.parse_args()
    src, sdk = Path(a.source).resolve(), Path(a.sysroot).resolve()
    work = Path(a.work).resolve()
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    started = time.monotonic()
    tree = work / "openwrt"
    tree.mkdir()
    subprocess.run(["tar", "-xf", a.tarball, "-C", tree], check=True)
    clone = work / "flashmac.git"
    subprocess.run(["git", "clone", "-q", src, clone], check=True)
    commit = subprocess.run(["git", "-C", clone, "rev-parse", "HEAD"], capture_output=True,
                            text=True, check=True).stdout.strip()
    mk = user_package(src, work / "feed", f"file://{clone}", commit)
    run = Run(tree, work / "openwrt.log")
    failed = passed = 0

    def expect(what, ok):
        nonlocal failed, passed
        print(("ok   " if ok else "FAIL ") + what)
        passed += ok
        failed += not ok

    (tree / "feeds.conf").write_text(f"src-link local {work / 'feed'}\n")
    run("./scripts/feeds", "update", "-a")
    run("./scripts/feeds", "install", "flashmac")
    (tree / ".config").write_text(CONFIG)
    run("make", "defconfig")
    config = (tree / ".config").read_text()
    expect("make defconfig keeps the package, for mipsel_24kc musl",
           "CONFIG_PACKAGE_flashmac=y" in config and 'CONFIG_TARGET_ARCH_PACKAGES="mipsel_24kc"'
           in config and "CONFIG_USE_MUSL=y" in config)
    # The user's steps, in the order the packaging page gives them.
    run("make", "package/flashmac/download", "V=s")
    run("make", "package/flashmac/check", "FIXUP=1", "V=s")
    digest = re.search(r"^PKG_MIRROR_HASH:=(\S*)$", mk.read_text(), re.M)
    expect("check FIXUP=1 writes the tarball's sha256",
           digest is not None and re.fullmatch(r"[0-9a-f]{64}", digest.group(1)) is not None)
    for t in (tree / "dl").glob("flashmac-*"):
        t.unlink()
    expect("a fresh download passes that hash",
           run("make", "package/flashmac/download", "V=s", check=False) == 0
           and any((tree / "dl").glob("flashmac-*")))
    pkgdir = tree / "package" / "feeds" / "local" / "flashmac"
    run("make", "-C", pkgdir, f"TOPDIR={tree}", "prepare", "V=s")

    stand_ins(run, tree, pkgdir, sdk, work)
    cflags = run.val(pkgdir, "TARGET_CFLAGS")
    print(f"TARGET_CFLAGS: {cflags}\nTARGET_LDFLAGS: {run.val(pkgdir, 'TARGET_LDFLAGS')}")
    build = Path(run.val(pkgdir, "PKG_BUILD_DIR"))
    run("make", "-C", pkgdir, f"TOPDIR={tree}", build / ".built", "V=s")
    # The package's files, as OpenWrt's rules lay them out before packing
    # (Package/flashmac/install; packing itself needs apk, a download).
    run("make", "-C", pkgdir, f"TOPDIR={tree}", build / ".pkgdir" / "flashmac.installed", "V=s")
    root = build / ".pkgdir" / "flashmac"
    expect("the package holds the helpers and the boot helper's start-up script, "
           "executable, the shell they share, and its settings, off",
           all(os.access(root / f, os.X_OK) for f in (
               "usr/bin/flashmac", "usr/bin/flashmac-ifaddr", "usr/bin/flashmac-provision",
               "etc/init.d/flashmac"))
           and (root / "usr/share/flashmac/helpers.sh").is_file()
           and (root / "etc/config/flashmac").is_file()
           and "option enabled '0'" in (root / "etc/config/flashmac").read_text())
    installed = Path(run.val(pkgdir, "PKG_INSTALL_DIR"))
    binary = installed / "usr" / "bin" / "flashmac"
    expect("installed in PKG_INSTALL_DIR", binary.is_file())
    if not binary.is_file():
        sys.exit(1)
    readelf = f"{sdk}/bin/mipsel-linux-musl-readelf"
    elf = subprocess.run([readelf, "-hlSdW", "--dyn-syms", binary], capture_output=True,
                         text=True, check=True).stdout
    mips16 = "-mips16" in cflags.split()
    expect(f"MIPS16e code, as OpenWrt asks for this target ({mips16})",
           mips16 == ("mips16" in re.search(r"Flags:.*", elf).group(0)))
    expect("not PIE, as OpenWrt builds a package that does not ask for it",
           re.search(r"Type:\s+EXEC", elf) is not None)
    expect("RELRO", "GNU_RELRO" in elf)
    expect("BIND_NOW", re.search(r"FLAGS.*\bNOW\b", elf) is not None)
    expect("stack protector", "__stack_chk_" in elf)
    expect("needs only libc.so", re.findall(r"\(NEEDED\).*\[(.*)\]", elf) == ["libc.so"])
    expect("installed unstripped, for OpenWrt to strip", ".symtab" in elf)
    expect("its manual installed",
           (installed / "usr" / "share" / "man" / "man1" / "flashmac.1").is_file())
    # Stripped as OpenWrt strips a package's binaries (--strip-all).
    stripped = work / "flashmac"
    shutil.copy(binary, stripped)
    subprocess.run([f"{sdk}/bin/mipsel-linux-musl-strip", "--strip-all", stripped], check=True)
    size = stripped.stat().st_size
    xz = len(subprocess.run(["xz", "-9e", "-c", stripped], capture_output=True,
                            check=True).stdout)
    print(f"stripped: {size} bytes; xz -9e (as in a squashfs root): {xz} bytes")
    expect(f"stripped within {BUDGET} bytes", size <= BUDGET)
    documented.check(expect, "OpenWrt main line", size, xz)
    print(f"OpenWrt steps and build: {time.monotonic() - started:.0f} s")

    # The board test's cases, on the kernel of OpenWrt's main line and on
    # Debian 12's (twenty seconds each): the MIPS16e build runs as the other.
    for kernel in ("6.12", "6.1"):
        r = subprocess.run([sys.executable, HERE.parent / "board" / "board_test.py",
                            "--binary", stripped, "--sysroot", sdk, "--kernel", kernel,
                            "--work", work / f"board-{kernel}", "--openwrt", tree])
        if r.returncode == 77:
            print(f"board: skipped, Linux {kernel} is not built (scripts/test.sh builds it)")
        else:
            expect(f"the board test's cases on Linux {kernel}", r.returncode == 0)
    print(f"{passed} passed, {failed} failed")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
