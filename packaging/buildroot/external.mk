# This tree lies in a flashmac checkout and builds that checkout's working
# tree; a FLASHMAC_OVERRIDE_SRCDIR in your local.mk takes precedence.
FLASHMAC_OVERRIDE_SRCDIR ?= $(BR2_EXTERNAL_FLASHMAC_PATH)/../..
include $(sort $(wildcard $(BR2_EXTERNAL_FLASHMAC_PATH)/package/*/*.mk))
