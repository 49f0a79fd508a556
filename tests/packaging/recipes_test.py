#!/usr/bin/env python3
"""Keeps the packaging recipes honest where their build systems stop short
(offline, Yocto's fetches its own tools before it checks a license): one
version everywhere, the license checksum of LICENSE, and every file they
name present.

usage: recipes_test.py SOURCE_DIR
"""
import hashlib
import re
import sys
from pathlib import Path

top = Path(sys.argv[1]).resolve()
pkg = top / "packaging"
openwrt = (pkg / "openwrt" / "flashmac" / "Makefile").read_text()
buildroot = (pkg / "buildroot" / "package" / "flashmac" / "flashmac.mk").read_text()
layer = pkg / "yocto" / "meta-flashmac"
recipes = sorted(layer.glob("recipes-*/*/*.bb"))
failed = passed = 0


def expect(what, ok, detail=""):
    global failed, passed
    passed += ok
    failed += not ok
    if not ok:
        print(f"FAIL {what} {detail}")


def var(text, name, op=r":?="):
    m = re.search(rf"^{name}\s*{op}\s*\"?([^\"\n]*)\"?\s*$", text, re.M)
    return m.group(1).strip() if m else None


cmake = re.search(r"project\(flashmac VERSION (\S+)", (top / "CMakeLists.txt").read_text())
version = cmake.group(1)
expect("one recipe in the layer", len(recipes) == 1, str(recipes))
yocto = recipes[0].read_text() if recipes else ""
# OpenWrt names a git source's version by the commit's date and hash.
expect("OpenWrt names the version by PKG_SOURCE_DATE",
       var(openwrt, "PKG_VERSION") is None and var(openwrt, "PKG_SOURCE_DATE") is not None)
# Buildroot's, as OpenWrt's, is the commit the packager sets.
got = (var(yocto, "PV") or "").split("+")[0]
expect(f"Yocto PV is {version}", got == version, f"got {got!r}")

lic = re.search(r'LIC_FILES_CHKSUM = "file://([^;]+);md5=([0-9a-f]+)"', yocto)
expect("Yocto LIC_FILES_CHKSUM", lic is not None)
if lic:
    path = top / lic.group(1)
    expect(f"{lic.group(1)} exists", path.is_file())
    expect("its md5", path.is_file() and hashlib.md5(path.read_bytes()).hexdigest() == lic.group(2))
for name, value in (("OpenWrt PKG_LICENSE_FILES", var(openwrt, "PKG_LICENSE_FILES")),
                    ("Buildroot FLASHMAC_LICENSE_FILES", var(buildroot, "FLASHMAC_LICENSE_FILES"))):
    for f in (value or "").split():
        expect(f"{name}: {f} exists", (top / f).is_file())
expect("license is MIT everywhere",
       [var(openwrt, "PKG_LICENSE"), var(buildroot, "FLASHMAC_LICENSE"), var(yocto, "LICENSE")]
       == ["MIT"] * 3)

# Buildroot's external tree builds the checkout it lies in; the package,
# copied elsewhere, fetches a commit, and its .hash holds the license's.
external = (pkg / "buildroot" / "external.mk").read_text()
site = (var(external, "FLASHMAC_OVERRIDE_SRCDIR", r"\?=") or "").replace(
    "$(BR2_EXTERNAL_FLASHMAC_PATH)", str(pkg / "buildroot"))
expect("Buildroot's external tree builds the repository", Path(site).resolve() == top, site)
expect("Buildroot's package fetches with git", var(buildroot, "FLASHMAC_SITE_METHOD") == "git")
hashes = (pkg / "buildroot" / "package" / "flashmac" / "flashmac.hash").read_text()
expect("Buildroot's .hash holds LICENSE's sha256",
       f"sha256  {hashlib.sha256((top / 'LICENSE').read_bytes()).hexdigest()}  LICENSE"
       in hashes)
# What OpenWrt installs is where CMake's install puts it under /usr.
expect("OpenWrt installs usr/bin/flashmac", "$(PKG_INSTALL_DIR)/usr/bin/flashmac" in openwrt)
expect("CMake installs the binary to bin",
       "install(TARGETS flashmac RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})"
       in (top / "CMakeLists.txt").read_text())
# The boot helper's files the recipes install from the sources, or OpenWrt's
# from its package directory.
for name, text in (("OpenWrt", openwrt), ("Buildroot", buildroot), ("Yocto", yocto)):
    named = re.findall(r"(?:\$\(@D\)|\$\{S\}|\$\(PKG_INSTALL_DIR\)/usr/bin|\.)/"
                       r"((?:boot|files)?/?[\w.-]*(?:ifaddr|\.init|\.config)[\w.-]*)", text)
    expect(f"{name} installs the boot helper's files", len(named) >= 2, str(named))
    for f in named:
        base = pkg / "openwrt" / "flashmac" if f.startswith("files/") else top
        if f.startswith("flashmac-"):  # installed by CMake
            f = "boot/" + f
        expect(f"{name}: {f} exists", (base / f).is_file())
print(f"{passed} passed, {failed} failed")
sys.exit(1 if failed else 0)
