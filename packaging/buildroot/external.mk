include $(sort $(wildcard $(BR2_EXTERNAL_FLASHMAC_PATH)/package/*/*.mk))
