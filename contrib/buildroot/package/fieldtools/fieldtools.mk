# SPDX-License-Identifier: MIT
################################################################################
#
# fieldtools
#
################################################################################

# Built from the source tree that holds this br2-external tree (contrib/buildroot):
#   make BR2_EXTERNAL=/path/to/fieldtools/contrib/buildroot menuconfig
FIELDTOOLS_VERSION = 1.0.0
FIELDTOOLS_SITE = $(BR2_EXTERNAL_FIELDTOOLS_PATH)/../..
FIELDTOOLS_SITE_METHOD = local
FIELDTOOLS_LICENSE = MIT
FIELDTOOLS_LICENSE_FILES = LICENSE

# Buildroot adds Release, BUILD_TESTING=OFF, its toolchain file and prefix /usr.
FIELDTOOLS_CONF_OPTS = \
	-DFACTORY_DEVICE="$(call qstrip,$(BR2_PACKAGE_FIELDTOOLS_DEVICE))" \
	-DFACTORY_REGION_SIZE="$(call qstrip,$(BR2_PACKAGE_FIELDTOOLS_REGION_SIZE))" \
	-DFACTORY_JOURNAL_DIR="$(call qstrip,$(BR2_PACKAGE_FIELDTOOLS_JOURNAL_DIR))" \
	-DFIELDTOOLS_FACTORY=ON

# The label programs come with libselinux.
ifeq ($(BR2_PACKAGE_LIBSELINUX),y)
FIELDTOOLS_DEPENDENCIES += libselinux host-pkgconf
FIELDTOOLS_CONF_OPTS += -DFIELDTOOLS_LABEL=ON
else
FIELDTOOLS_CONF_OPTS += -DFIELDTOOLS_LABEL=OFF
endif

# The journal directory, readable by root alone.
define FIELDTOOLS_JOURNAL_DIRECTORY
	$(INSTALL) -d -m 0700 $(TARGET_DIR)$(call qstrip,$(BR2_PACKAGE_FIELDTOOLS_JOURNAL_DIR))
endef
FIELDTOOLS_POST_INSTALL_TARGET_HOOKS += FIELDTOOLS_JOURNAL_DIRECTORY

$(eval $(cmake-package))
