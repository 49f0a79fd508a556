################################################################################
#
# flashmac
#
################################################################################

# The commit to build, from your copy of the repository. Its id pins the
# sources: the tarball Buildroot makes of it is yours, and has no hash in
# flashmac.hash (with BR2_DOWNLOAD_FORCE_CHECK_HASHES, add its sha256 there
# after the first download).
FLASHMAC_VERSION = your-commit
FLASHMAC_SITE = https://your.git.server/flashmac.git
FLASHMAC_SITE_METHOD = git
BR_NO_CHECK_HASH_FOR += $(FLASHMAC_SOURCE)
# Built from a checkout instead (the external tree does that), the
# repository's own build folders and caches (toolchain, emulated board)
# are not sources.
FLASHMAC_OVERRIDE_SRCDIR_RSYNC_EXCLUSIONS = \
	--exclude /.cache --exclude /build --exclude /.git
FLASHMAC_LICENSE = MIT
FLASHMAC_LICENSE_FILES = LICENSE
# Buildroot's hardening (PIE, RELRO, SSP, FORTIFY) applies as to any
# package; FLASHMAC_SMALL would trade PIE and RELRO for about 1 KiB.
FLASHMAC_CONF_OPTS = -DBUILD_TESTING=OFF -DFLASHMAC_SMALL=OFF

# The boot helper's start-up files, with the partition and interfaces
# chosen in menuconfig written into them.
ifeq ($(BR2_PACKAGE_FLASHMAC_IFADDR),y)
FLASHMAC_IFADDR_PARTITION = $(call qstrip,$(BR2_PACKAGE_FLASHMAC_IFADDR_PARTITION))
FLASHMAC_IFADDR_INTERFACE = $(call qstrip,$(BR2_PACKAGE_FLASHMAC_IFADDR_INTERFACE))
FLASHMAC_IFADDR_SETTINGS = \
	"s|^PARTITION=.*|PARTITION='$(FLASHMAC_IFADDR_PARTITION)'|" \
	-e "s|^INTERFACE=.*|INTERFACE='$(FLASHMAC_IFADDR_INTERFACE)'|" \
	-e "s|^Environment=.*|Environment=\"PARTITION=$(FLASHMAC_IFADDR_PARTITION)\" \"INTERFACE=$(FLASHMAC_IFADDR_INTERFACE)\"|"

# Before S40network.
define FLASHMAC_INSTALL_INIT_SYSV
	$(INSTALL) -D -m 0755 $(@D)/boot/flashmac-ifaddr.init \
		$(TARGET_DIR)/etc/init.d/S38flashmac-ifaddr
	$(SED) $(FLASHMAC_IFADDR_SETTINGS) $(TARGET_DIR)/etc/init.d/S38flashmac-ifaddr
endef

define FLASHMAC_INSTALL_INIT_SYSTEMD
	$(INSTALL) -D -m 0644 $(@D)/boot/flashmac-ifaddr.service \
		$(TARGET_DIR)/usr/lib/systemd/system/flashmac-ifaddr.service
	$(SED) $(FLASHMAC_IFADDR_SETTINGS) \
		$(TARGET_DIR)/usr/lib/systemd/system/flashmac-ifaddr.service
endef
endif

$(eval $(cmake-package))
