# SPDX-License-Identifier: MIT
SUMMARY = "Read and write the MAC address record of an MTD partition"
DESCRIPTION = "Reads, and on request writes, the six-byte hardware (MAC) \
address kept at byte offset 0xE000 of a raw MTD flash partition, and prints \
it as XX:XX:XX:XX:XX:XX. Needs the kernel's MTD block devices."
LICENSE = "MIT"
LIC_FILES_CHKSUM = "file://LICENSE;md5=8beac08526bd8fdfe4b8b59bc504668a"

# Unpacked where S points by default (${UNPACKDIR}/${BP}; ${WORKDIR}/${BP}
# before 5.1), so no S line is needed: the git fetcher's own default place
# has moved between releases.
SRC_URI = "git://your.git.server/flashmac.git;protocol=https;branch=main;destsuffix=${BP}"
SRCREV = "<commit>"
# A git revision of 1.0.0: the build system appends the revision itself.
PV = "1.0.0+git"

inherit cmake

# The tests need Python and host tools. The distribution's flags and
# hardening apply; the binary is installed unstripped, for the debug split.
EXTRA_OECMAKE += "-DBUILD_TESTING=OFF"
