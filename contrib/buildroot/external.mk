# SPDX-License-Identifier: MIT
include $(sort $(wildcard $(BR2_EXTERNAL_FIELDTOOLS_PATH)/package/*/*.mk))
