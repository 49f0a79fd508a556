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

inherit cmake systemd update-rc.d

# The tests need Python and host tools. The distribution's flags and
# hardening apply; the binary is installed unstripped, for the debug split.
EXTRA_OECMAKE += "-DBUILD_TESTING=OFF"

# flashmac-ifaddr: the boot helper with its systemd unit and init script,
# which give the interfaces below the address kept in the partition below
# (its name in /proc/mtd, or its number), or addresses derived from it,
# before the network starts. The interfaces are separated by spaces, each
# as flashmac-ifaddr takes it: "eth0 eth1+1 wlan0+2:la" (the address, plus
# 1, plus 2 with the locally administered bit). Installed, it is on:
# IMAGE_INSTALL:append = " flashmac-ifaddr". The settings land in
# /etc/default/flashmac-ifaddr, a conffile.
FLASHMAC_IFADDR_PARTITION ?= "factory"
FLASHMAC_IFADDR_INTERFACE ?= "eth0"

PACKAGES =+ "${PN}-ifaddr ${PN}-provision"
SUMMARY:${PN}-ifaddr = "Set a network interface's address from flash at boot"
FILES:${PN}-ifaddr = "${bindir}/flashmac-ifaddr ${sysconfdir}/default/flashmac-ifaddr \
    ${sysconfdir}/init.d/flashmac-ifaddr ${systemd_system_unitdir}/flashmac-ifaddr.service"
CONFFILES:${PN}-ifaddr = "${sysconfdir}/default/flashmac-ifaddr"
# A shell script: the shell and ip from the base utilities (BusyBox).
RDEPENDS:${PN}-ifaddr = "${PN} ${VIRTUAL-RUNTIME_base-utils}"

# flashmac-provision: the factory's checked write, with its backup and
# restore of the erase block around the record. The shell the two helpers
# share stays in ${PN} (${datadir}/flashmac).
SUMMARY:${PN}-provision = "Write the MAC address record once, checked, with a backup"
FILES:${PN}-provision = "${bindir}/flashmac-provision"
RDEPENDS:${PN}-provision = "${PN} ${VIRTUAL-RUNTIME_base-utils}"

SYSTEMD_PACKAGES = "${PN}-ifaddr"
SYSTEMD_SERVICE:${PN}-ifaddr = "flashmac-ifaddr.service"
INITSCRIPT_PACKAGES = "${PN}-ifaddr"
INITSCRIPT_NAME:${PN}-ifaddr = "flashmac-ifaddr"
# In rcS, before the runlevels' networking.
INITSCRIPT_PARAMS:${PN}-ifaddr = "start 38 S ."

do_install:append() {
    install -d ${D}${sysconfdir}/default
    printf 'PARTITION="%s"\nINTERFACE="%s"\n' "${FLASHMAC_IFADDR_PARTITION}" \
        "${FLASHMAC_IFADDR_INTERFACE}" > ${D}${sysconfdir}/default/flashmac-ifaddr
    if ${@bb.utils.contains('DISTRO_FEATURES', 'sysvinit', 'true', 'false', d)}; then
        install -D -m 0755 ${S}/boot/flashmac-ifaddr.init ${D}${sysconfdir}/init.d/flashmac-ifaddr
        sed -i 's|/usr/bin/|${bindir}/|' ${D}${sysconfdir}/init.d/flashmac-ifaddr
    fi
    if ${@bb.utils.contains('DISTRO_FEATURES', 'systemd', 'true', 'false', d)}; then
        install -D -m 0644 ${S}/boot/flashmac-ifaddr.service \
            ${D}${systemd_system_unitdir}/flashmac-ifaddr.service
        sed -i 's|/usr/bin/|${bindir}/|' ${D}${systemd_system_unitdir}/flashmac-ifaddr.service
    fi
}
