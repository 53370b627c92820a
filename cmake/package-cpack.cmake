# SPDX-License-Identifier: MIT
# Read by cpack (CPACK_PROJECT_CONFIG_FILE of packaging.cmake) before it makes each
# package: it chooses the script that runs between the staging and the packing of the
# Debian packages or of the release tarball (another generator's packages get none), and
# refuses the Debian packages of a target whose architecture packaging.cmake could not
# name, before anything is staged.
if(CMAKE_VERSION VERSION_LESS 3.19)
  message(FATAL_ERROR "cpack ${CMAKE_VERSION} runs no script between the staging and the packing: "
    "the packages and the tarball need cpack 3.19 or later")
endif()
if(CPACK_PACKAGE_FILE_NAME STREQUAL CPACK_SOURCE_PACKAGE_FILE_NAME)
  set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/package-source.cmake)
elseif(CPACK_GENERATOR STREQUAL "DEB")
  if(NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
    message(FATAL_ERROR "No Debian package is made: ${CPACK_FIELDTOOLS_ARCHITECTURE_ERROR}")
  endif()
  set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/package-deb.cmake)
endif()
