# SPDX-License-Identifier: MIT
SUMMARY = "Factory-partition cells and SELinux MLS labels for embedded Linux devices"
DESCRIPTION = "cellrw and cellshow read and write the text cells of the factory region \
on a raw MTD partition; rawlabel and showlabel convert the MLS range of SELinux \
contexts between raw and translated form."
LICENSE = "MIT"
LIC_FILES_CHKSUM = "file://LICENSE;md5=a3ef5c16fcabee4d7085161c81f2bdc2"

# The release tarball beside this recipe, or a checkout named by EXTERNALSRC.
SRC_URI = "file://fieldtools-${PV}.tar.gz"
S = "${WORKDIR}/fieldtools-${PV}"

inherit cmake pkgconfig

# The factory partition (an absolute path under /dev, or name:NAME for the MTD partition
# named NAME), the region size and the journal directory; a machine or distro
# configuration may set them.
FIELDTOOLS_DEVICE ?= "/dev/mtd7"
FIELDTOOLS_REGION_SIZE ?= "0x60000"
FIELDTOOLS_JOURNAL_DIR ?= "${localstatedir}/lib/cellrw"

# The cmake class gives no build type and leaves BUILD_TESTING unset: the project's
# defaults (no tests) hold.
EXTRA_OECMAKE = "-DFACTORY_DEVICE='${FIELDTOOLS_DEVICE}' -DFACTORY_REGION_SIZE=${FIELDTOOLS_REGION_SIZE} \
                 -DFACTORY_JOURNAL_DIR=${FIELDTOOLS_JOURNAL_DIR} -DFIELDTOOLS_FACTORY=ON"

# The label programs come with SELinux.
PACKAGECONFIG ??= "${@bb.utils.filter('DISTRO_FEATURES', 'selinux', d)}"
PACKAGECONFIG[selinux] = "-DFIELDTOOLS_LABEL=ON,-DFIELDTOOLS_LABEL=OFF,libselinux"

# The journal directory, readable by root alone.
do_install:append() {
    install -d -m 0700 ${D}${FIELDTOOLS_JOURNAL_DIR}
}

PACKAGES =+ "${PN}-label"
FILES:${PN}-label = "${sbindir}/rawlabel ${sbindir}/showlabel ${mandir}/man8/rawlabel.8* ${mandir}/man8/showlabel.8*"
FILES:${PN} += "${FIELDTOOLS_JOURNAL_DIR}"
