#!/usr/bin/env python3
"""The Yocto layer through real BitBake and OpenEmbedded-Core, offline, as
a user adds it: the unedited layer must parse without halting anyone's
build (the recipe skips itself, saying what to set); with SRC_URI and
SRCREV set in local.conf to a clone of this tree, `-c unpack` must put the
sources where S points. oe-core's own recipes take a minute or two to
parse on two cores, and none of it tests this layer: the first build masks
them, as what must not halt parsing is this layer's recipe, and the second
runs the recipe alone (`bitbake -b`), with the user's local.conf. BitBake
refuses root, so as root this runs it as the existing user nobody, with
no account made, in a folder of its own under /tmp that is removed
afterwards (wherever the checkout is, /root included); the logs stay in
the work folder. BitBake wants an en_US.UTF-8 locale, made in that folder.

usage: yocto_test.py --source DIR --tarball YOCTO.tar.xz --work DIR
"""
import argparse
import os
import pwd
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

SKIPPED = 77  # ctest's SKIP_RETURN_CODE
SKIP_NOTE = "flashmac was skipped: set SRC_URI and SRCREV"


def skip(why):
    print(f"skipped: {why}")
    sys.exit(SKIPPED)


def as_user():
    """The command prefix that runs BitBake as someone other than root, and
    that user's uid and gid (None when this is not root)."""
    if os.getuid() != 0:
        return [], None
    try:
        ids = pwd.getpwnam("nobody")[2:4]
    except KeyError:
        ids = (65534, 65534)
    if not shutil.which("setpriv"):
        skip("BitBake refuses root, and there is no setpriv to run it as nobody")
    return ["setpriv", f"--reuid={ids[0]}", f"--regid={ids[1]}", "--clear-groups"], ids


def locale_dir(work):
    """en_US.UTF-8, made here so the system's locales stay as they are."""
    loc = work / "locale"
    if not (loc / "en_US.UTF-8").is_dir():
        if not shutil.which("localedef"):
            skip("no localedef to make the en_US.UTF-8 locale BitBake asks for")
        loc.mkdir(exist_ok=True)
        subprocess.run(["localedef", "-i", "en_US", "-f", "UTF-8", loc / "en_US.UTF-8"],
                       check=True)
    return loc


class Build:
    """One BitBake build folder in the unpacked release, driven as a user
    would; its log goes to the `logs` folder."""

    def __init__(self, tree, work, prefix, folder, logs):
        self.tree, self.work, self.prefix, self.folder = tree, work, prefix, folder
        self.logs = logs
        self.env = {"HOME": str(work / "home"), "PATH": "/usr/local/bin:/usr/bin:/bin",
                    "LANG": "en_US.UTF-8", "LOCPATH": str(locale_dir(work)),
                    "BB_ENV_PASSTHROUGH_ADDITIONS": "LOCPATH"}

    def sh(self, command, log):
        script = (f"export BITBAKEDIR={self.tree}/bitbake\n"
                  f". {self.tree}/openembedded-core/oe-init-build-env {self.work}/{self.folder} >/dev/null\n"
                  + command)
        start = time.monotonic()
        r = subprocess.run(self.prefix + ["env", "-i", *(f"{k}={v}" for k, v in self.env.items()),
                                          "bash", "-c", script],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        (self.logs / log).write_text(r.stdout)
        print(f"{log}: exit {r.returncode} in {time.monotonic() - start:.0f} s")
        return r.returncode, r.stdout


def main():
    ap = argparse.ArgumentParser()
    for a in ("--source", "--tarball", "--work"):
        ap.add_argument(a, required=True)
    a = ap.parse_args()
    src, logs = Path(a.source).resolve(), Path(a.work).resolve()
    shutil.rmtree(logs, ignore_errors=True)
    logs.mkdir(parents=True)
    prefix, ids = as_user()
    work = Path(tempfile.mkdtemp(prefix="flashmac-yocto-"))
    try:
        sys.exit(run(src, work, a.tarball, prefix, ids, logs))
    finally:
        shutil.rmtree(work, ignore_errors=True)


def run(src, work, tarball, prefix, ids, logs):
    tree = work / "release"
    tree.mkdir()
    subprocess.run(["tar", "-xf", tarball, "-C", tree], check=True)
    # What the user copies: the layer as it stands; and a clone to build.
    layer = work / "meta-flashmac"
    shutil.copytree(src / "packaging" / "yocto" / "meta-flashmac", layer)
    clone = work / "flashmac.git"
    subprocess.run(["git", "clone", "-q", src, clone], check=True)
    subprocess.run(["git", "-C", clone, "checkout", "-q", "-B", "main"], check=True)
    rev = subprocess.run(["git", "-C", clone, "rev-parse", "HEAD"], capture_output=True,
                         text=True, check=True).stdout.strip()
    (work / "home").mkdir()
    if ids:
        subprocess.run(["chown", "-R", f"{ids[0]}:{ids[1]}", work], check=True)
    failed = passed = 0

    def expect(what, ok, log=""):
        nonlocal failed, passed
        print(("ok   " if ok else "FAIL ") + what)
        passed += ok
        failed += not ok
        if not ok and log:
            print("\n".join(log.splitlines()[-25:]))

    offline = "echo 'BB_NO_NETWORK = \"1\"' >> conf/local.conf\n"
    b = Build(tree, work, prefix, "unedited", logs)
    rc, out = b.sh(offline + "echo 'BBMASK = \"/openembedded-core/meta/recipes-\"' >> conf/local.conf\n"
                   f"bitbake-layers add-layer {layer} && bitbake -p", "unedited-parse.log")
    expect("the unedited layer adds and parses, without errors",
           rc == 0 and "ERROR" not in out, out)
    rc, out = b.sh("bitbake -c unpack flashmac", "unedited-unpack.log")
    expect("building it unedited says what to set", rc != 0 and SKIP_NOTE in out, out)

    recipe = next(layer.glob("recipes-*/flashmac/flashmac_*.bb"))
    b = Build(tree, work, prefix, "build", logs)
    rc, out = b.sh(offline + f"bitbake-layers add-layer {layer}\n"
                   "cat >> conf/local.conf <<'EOF'\n"
                   f'SRC_URI:pn-flashmac = "git://{clone};protocol=file;branch=main;'
                   'destsuffix=${BP}"\n'
                   f'SRCREV:pn-flashmac = "{rev}"\n'
                   'FLASHMAC_IFADDR_INTERFACE:pn-flashmac = "eth0 eth1+1 wlan0+2:la"\nEOF\n'
                   f"bitbake -b {recipe} -c unpack && bitbake -e -b {recipe}", "unpack.log")
    expect("with SRC_URI and SRCREV set, -c unpack works", rc == 0, out)
    s = re.search(r'^S="(.*)"$', out, re.M)
    s = Path(s.group(1)) if s else None
    print(f"S={s}")
    expect("S holds the sources", s is not None and (s / "CMakeLists.txt").is_file()
           and (s / "LICENSE").is_file() and (s / "LICENSE").read_bytes() == (src / "LICENSE").read_bytes())
    # The boot helper's package: its unit and init script, from the sources.
    def value(name):
        v = re.search(rf'^{re.escape(name)}="(.*)"$', out, re.M)
        return v.group(1).split() if v else []
    files = value("FILES:flashmac-ifaddr")
    expect("the package flashmac-ifaddr lists the unit and the init script",
           "flashmac-ifaddr" in value("PACKAGES") and value("SYSTEMD_SERVICE:flashmac-ifaddr")
           == ["flashmac-ifaddr.service"] and value("INITSCRIPT_NAME:flashmac-ifaddr")
           == ["flashmac-ifaddr"] and "/etc/init.d/flashmac-ifaddr" in files
           and any(f.endswith("/systemd/system/flashmac-ifaddr.service") for f in files),
           "\n".join(line for line in out.splitlines() if "ifaddr" in line))
    expect("the package flashmac-provision holds the factory's command and needs flashmac",
           "flashmac-provision" in value("PACKAGES")
           and value("FILES:flashmac-provision") == ["/usr/bin/flashmac-provision"]
           and "flashmac" in value("RDEPENDS:flashmac-provision"),
           "\n".join(line for line in out.splitlines() if "provision" in line))
    # Its install step, after CMake's (which needs the cross toolchain),
    # as BitBake gives it: every file lands in the package, with the init
    # system's start-up file (sysvinit on 5.0, systemd on 6.0 by default).
    install = re.search(r"^do_install\(\) \{\n(.*?)^\}$", out, re.M | re.S)
    d = re.search(r'^D="(.*)"$', out, re.M)
    made, settings = [], ""
    if install and d and s:
        r = subprocess.run(prefix + ["bash", "-euc", "cmake_do_install() { :; }\n"
                                     + install.group(1)], capture_output=True, text=True)
        image = Path(d.group(1))
        made = sorted("/" + str(f.relative_to(image)) for f in image.rglob("*") if f.is_file())
        if (image / "etc" / "default" / "flashmac-ifaddr").is_file():
            settings = (image / "etc" / "default" / "flashmac-ifaddr").read_text()
        print(f"installed ({r.returncode}): {made} {r.stderr}")
    expect("its install step puts its start-up file and settings in the package",
           bool(made) and set(made) <= set(files) and "/etc/default/flashmac-ifaddr" in made
           and any("init.d" in f or f.endswith(".service") for f in made))
    expect("the settings carry the list of interfaces from local.conf",
           'INTERFACE="eth0 eth1+1 wlan0+2:la"\n' in settings, settings)
    expect("S holds what it installs", s is not None and all(
        (s / "boot" / f).is_file() for f in ("flashmac-ifaddr", "flashmac-ifaddr.init",
                                               "flashmac-ifaddr.service")))
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    main()
