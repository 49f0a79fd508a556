# SPDX-License-Identifier: MIT
SUMMARY = "Read and write the MAC address record of an MTD partition"
DESCRIPTION = "Reads, and on request writes, the six-byte hardware (MAC) \
address kept at byte offset 0xE000 of a raw MTD flash partition, and prints \
it as XX:XX:XX:XX:XX:XX. Needs the kernel's MTD block devices."
HOMEPAGE = "https://your.git.server/flashmac"
LICENSE = "MIT"
LIC_FILES_CHKSUM = "file://LICENSE;md5=8beac08526bd8fdfe4b8b59bc504668a"

# Your clone and commit: set both, here or in local.conf (SRC_URI:pn-flashmac,
# SRCREV:pn-flashmac). Until then the recipe is skipped with a note saying
# so: a placeholder revision would make BitBake ask the server while parsing,
# and halt every build that has this layer.
SRC_URI ?= "git://your.git.server/flashmac.git;protocol=https;branch=main;destsuffix=${BP}"
SRCREV ?= ""
# A git revision of 1.0.0: the build system appends the revision itself.
PV = "1.0.0+git"

# destsuffix=${BP} unpacks where the default S points on every release this
# layer claims (measured: ${WORKDIR}/flashmac-1.0.0+git on 5.0,
# ${WORKDIR}/sources/flashmac-1.0.0+git on 6.0). It matters to 5.0 only:
# from 5.3 on the git fetcher unpacks to ${BP} by default.

python () {
    if d.getVar("SRCREV") in ("", "INVALID") or "your.git.server" in d.getVar("SRC_URI"):
        raise bb.parse.SkipRecipe("set SRC_URI and SRCREV to your flashmac clone and commit "
                                  "(in local.conf: SRC_URI:pn-flashmac, SRCREV:pn-flashmac)")
}

inherit cmake

# The tests need Python and host tools. The distribution's flags and
# hardening apply; the binary is installed unstripped, for the debug split.
EXTRA_OECMAKE += "-DBUILD_TESTING=OFF"
