# SPDX-License-Identifier: MIT
# Debian packages of the halves built, made by cpack:
#
#   cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release && cmake --build build/release
#   (cd build/release && cpack -G DEB)
#
# fieldtools-factory holds the flash programs, their pages and the journal directory
# (mode 0700); fieldtools-label the label programs and their pages, so that a device
# without SELinux takes only the first. Each has the copyright file and a changelog made
# from NEWS; Depends comes from the binaries through dpkg-shlibdeps, the architecture from
# the compiler's target. The files are installed under /usr whatever the build's prefix,
# stripped, and the pages and the changelog compressed as Debian's policy wants.
#
# What only a package holds (the copyright file, the changelog, the lintian override and
# the journal directory) has no install rule: cmake --install, with or without
# --component, never puts it on a machine. cpack adds it to the staged packages
# (package-deb.cmake), and makes the release tarball of the files git tracks
# (package-source.cmake).

include(${CMAKE_CURRENT_LIST_DIR}/debian-changelog.cmake)

set(FIELDTOOLS_PACKAGE_MAINTAINER "The fieldtools developers <fieldtools@example.org>" CACHE STRING
  "Maintainer named in the Debian packages")

# CPack writes every CPACK_ value into its configuration files as it is, escaped, so that
# cpack reads back the same text: no escape sequence of a regular expression or a
# description is taken for CMake's.
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME fieldtools)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${FIELDTOOLS_PACKAGE_MAINTAINER}")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
# The staging install goes through DESTDIR, under /usr whatever the build's prefix.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Read by cpack for each package it makes: package-deb.cmake or package-source.cmake
# runs between the staging and the packing.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/package-cpack.cmake)

# The packages are for the machine the compiler builds for, whatever the toolchain file
# says of it: the Debian architecture of the compiler's target triplet (clang's given
# target, or what the compiler answers to -dumpmachine), as dpkg-architecture names it,
# and with the build's pointer size. A target it cannot name, or names with another
# pointer size (gcc -m32 answers with its 64-bit triplet), is refused when cpack makes the
# packages (package-cpack.cmake), not here: the programs still build, and the tarball is
# still made.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "")
set(target_option "")
if(CMAKE_C_COMPILER_TARGET AND CMAKE_C_COMPILE_OPTIONS_TARGET)
  set(target_option "${CMAKE_C_COMPILE_OPTIONS_TARGET}${CMAKE_C_COMPILER_TARGET}")
endif()
execute_process(COMMAND ${CMAKE_C_COMPILER} ${target_option} -dumpmachine
  OUTPUT_VARIABLE target_triplet OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE status)
find_program(DPKG_ARCHITECTURE dpkg-architecture)
if(NOT status EQUAL 0 OR NOT target_triplet MATCHES "^[A-Za-z0-9_.+-]+$")
  set(CPACK_FIELDTOOLS_ARCHITECTURE_ERROR
    "${CMAKE_C_COMPILER} ${target_option} -dumpmachine does not name the target, so no Debian architecture is known for the packages")
elseif(NOT DPKG_ARCHITECTURE)
  set(CPACK_FIELDTOOLS_ARCHITECTURE_ERROR
    "dpkg-architecture (dpkg-dev) is missing: it names the Debian architecture of the target ${target_triplet}")
else()
  execute_process(COMMAND ${DPKG_ARCHITECTURE} -t ${target_triplet}
    OUTPUT_VARIABLE architecture_variables ERROR_QUIET RESULT_VARIABLE status)
  set(architecture "")
  set(architecture_bits "")
  if(status EQUAL 0 AND architecture_variables MATCHES "(^|\n)DEB_HOST_ARCH=([a-z0-9-]+)\n")
    set(architecture ${CMAKE_MATCH_2})
    if(architecture_variables MATCHES "(^|\n)DEB_HOST_ARCH_BITS=([0-9]+)\n")
      set(architecture_bits ${CMAKE_MATCH_2})
    endif()
  endif()
  math(EXPR pointer_bits "${CMAKE_SIZEOF_VOID_P} * 8")
  if(NOT architecture)
    set(CPACK_FIELDTOOLS_ARCHITECTURE_ERROR
      "dpkg-architecture names no Debian architecture for the target ${target_triplet}")
  elseif(NOT architecture_bits STREQUAL pointer_bits)
    set(CPACK_FIELDTOOLS_ARCHITECTURE_ERROR
      "the target ${target_triplet} is ${architecture}, of ${architecture_bits}-bit pointers, but the build's are ${pointer_bits}-bit")
  else()
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${architecture})
  endif()
endif()

# What cpack adds to the packages: packaging/HALF/ holds each package's copyright file
# and changelog, and packaging/factory/lintian/ the factory package's lintian override.
set(package_dir ${CMAKE_BINARY_DIR}/packaging)
set(CPACK_FIELDTOOLS_PACKAGE_DIR ${package_dir})
file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
set(CPACK_COMPONENTS_ALL)
foreach(half factory label)
  string(TOUPPER ${half} HALF)
  if(NOT FIELDTOOLS_${HALF})
    continue()
  endif()
  set(package fieldtools-${half})
  list(APPEND CPACK_COMPONENTS_ALL ${half})
  set(CPACK_DEBIAN_${HALF}_PACKAGE_NAME ${package})
  set(CPACK_DEBIAN_${HALF}_FILE_NAME DEB-DEFAULT)
  file(WRITE ${package_dir}/${half}/copyright
    "fieldtools ${PROJECT_VERSION}, the ${package} package\n\n${license}")
  debian_changelog(${PROJECT_SOURCE_DIR}/NEWS ${package_dir}/${half}/changelog
    ${package} ${PROJECT_VERSION} "${FIELDTOOLS_PACKAGE_MAINTAINER}")
endforeach()

# A summary line, then the long description, whose lines cpack indents.
set(CPACK_COMPONENT_FACTORY_DESCRIPTION "read and write the factory region of a raw MTD partition
cellrw reads and writes, and cellshow prints, the text cells of the
factory region: the first ${FACTORY_REGION_HEX} bytes of good flash of the MTD partition
${FACTORY_DEVICE}, which keep a device's serial number, MAC addresses and
other factory data. Bad NAND blocks are stepped over, a block whose write
fails is marked bad, every commit is read back and compared, and the
partition is locked against concurrent runs.

The programs need nothing but the C library.")
set(CPACK_COMPONENT_LABEL_DESCRIPTION "convert SELinux MLS ranges between raw and translated form
rawlabel prints a security context with its MLS range turned from the
names of the system's MLS translations file back into raw sensitivities
and categories; showlabel turns a raw range into those names.")

if(FIELDTOOLS_FACTORY)
  # The journal directory, readable by root alone: a journal rewrites the device's
  # identity at the next start. The programs make it when it is missing, so only the
  # package ships it. (cmake/factory-settings.cmake refuses / for it.)
  set(CPACK_FIELDTOOLS_JOURNAL_DIR "${FACTORY_JOURNAL_DIRECTORY}")
  string(REGEX REPLACE "^/" "" journal_path "${FACTORY_JOURNAL_DIRECTORY}")
  file(WRITE ${package_dir}/factory/lintian/fieldtools-factory
    "# The journal rewrites the device's identity at the next start: only root may reach it.\n"
    "fieldtools-factory: non-standard-dir-perm 0700 != 0755 [${journal_path}/]\n")
endif()

# The release tarball, fieldtools-VERSION.tar.gz, that contrib's Yocto recipe builds from:
#   cmake --build BUILD --target package_source
# It holds exactly the files git tracks, as they are in the source tree, whatever else
# lies there (a build, a staging directory): package-source.cmake copies them, so cpack
# itself copies no directory.
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_PACKAGE_FILE_NAME fieldtools-${PROJECT_VERSION})
set(CPACK_SOURCE_INSTALLED_DIRECTORIES "")
set(CPACK_FIELDTOOLS_SOURCE_DIR "${PROJECT_SOURCE_DIR}")

include(CPack)
