################################################################################
#
# flashmac
#
################################################################################

# Built from the repository this tree lies in.
FLASHMAC_VERSION = 1.0.0
FLASHMAC_SITE = $(BR2_EXTERNAL_FLASHMAC_PATH)/../..
FLASHMAC_SITE_METHOD = local
# The repository's own build folders and caches (toolchain, emulated
# board) are not sources.
FLASHMAC_OVERRIDE_SRCDIR_RSYNC_EXCLUSIONS = \
	--exclude /.cache --exclude /build --exclude /.git
FLASHMAC_LICENSE = MIT
FLASHMAC_LICENSE_FILES = LICENSE
# Buildroot's hardening (PIE, RELRO, SSP, FORTIFY) applies as to any
# package; FLASHMAC_SMALL would trade PIE and RELRO for about 1 KiB.
FLASHMAC_CONF_OPTS = -DBUILD_TESTING=OFF -DFLASHMAC_SMALL=OFF

$(eval $(cmake-package))
