# SPDX-License-Identifier: MIT
# The flash programs' build settings: the factory partition, the size of the region, and
# where a commit keeps its journal. Each is checked here, so that a wrong value stops the
# configure with a message instead of building programs that look in the wrong place.
# Sets, for factory/ and man/:
#   FACTORY_REGION_BYTES        the region size in decimal
#   FACTORY_REGION_HEX          the same in hexadecimal, 0x and lower case
#   FACTORY_JOURNAL_DIRECTORY   FACTORY_JOURNAL_DIR without repeated or trailing slashes
#   FACTORY_DEVICE_NAME         NAME of name:NAME, empty for a path

set(FACTORY_DEVICE "/dev/mtd7" CACHE STRING
  "The factory partition: an absolute path under /dev, or name:NAME for the MTD partition named NAME")
set(FACTORY_REGION_SIZE "0x60000" CACHE STRING
  "Bytes of good flash that hold the factory region: a multiple of 512, at most 64 MiB, in decimal or 0x hexadecimal")
set(FACTORY_JOURNAL_DIR "/var/lib/cellrw" CACHE STRING
  "Absolute path of the directory where a commit keeps its journal (the environment variable FACTORY_JOURNAL_DIR overrides it)")
option(FIELDTOOLS_JOURNAL_REQUIRED
  "Refuse a commit whose journal cannot be made durable, instead of warning and going on without one" OFF)

# The texts become C strings, roff arguments, CMake list items and the packages'
# descriptions, which CMake reads again: printable ASCII only, and no '"', '\', ';' or '$'.
function(factory_check_text name value)
  if(value MATCHES "[^ -~]|[\"\\\\;$]")
    message(FATAL_ERROR "${name} is \"${value}\": it may hold only printable ASCII characters other than \", \\, ; and $")
  endif()
endfunction()

# FACTORY_DEVICE: the programs keep it in a field of 64 bytes, NUL included.
factory_check_text(FACTORY_DEVICE "${FACTORY_DEVICE}")
string(LENGTH "${FACTORY_DEVICE}" device_length)
set(FACTORY_DEVICE_NAME "")
if(FACTORY_DEVICE MATCHES "^name:(.*)$")
  set(FACTORY_DEVICE_NAME "${CMAKE_MATCH_1}")
  if(FACTORY_DEVICE_NAME STREQUAL "")
    message(FATAL_ERROR "FACTORY_DEVICE is \"name:\": give the MTD partition's name after \"name:\"")
  endif()
elseif(NOT FACTORY_DEVICE MATCHES "^/dev/[^/]" OR FACTORY_DEVICE MATCHES "/$|/\\.\\.?(/|$)")
  message(FATAL_ERROR "FACTORY_DEVICE is \"${FACTORY_DEVICE}\": give an absolute path under /dev, "
    "such as /dev/mtd7, or name:NAME for the MTD partition named NAME")
endif()
if(device_length GREATER 63)
  message(FATAL_ERROR "FACTORY_DEVICE is ${device_length} bytes long: the programs hold at most 63")
endif()

# FACTORY_REGION_SIZE: decimal without a leading zero, or 0x and at most eight hex digits
# past leading zeros (math() would overflow on longer ones).
set(size_hint "give a size in bytes, decimal (393216) or hexadecimal (0x60000)")
if(FACTORY_REGION_SIZE MATCHES "^0[xX]0*([0-9a-fA-F]+)$")
  string(LENGTH "${CMAKE_MATCH_1}" digits)
  if(digits GREATER 8)
    set(FACTORY_REGION_BYTES 4294967296)
  else()
    math(EXPR FACTORY_REGION_BYTES "0x${CMAKE_MATCH_1}")
  endif()
elseif(FACTORY_REGION_SIZE MATCHES "^(0|[1-9][0-9]*)$")
  string(LENGTH "${FACTORY_REGION_SIZE}" digits)
  if(digits GREATER 9)
    set(FACTORY_REGION_BYTES 4294967296)
  else()
    math(EXPR FACTORY_REGION_BYTES "${FACTORY_REGION_SIZE}")
  endif()
else()
  message(FATAL_ERROR "FACTORY_REGION_SIZE is \"${FACTORY_REGION_SIZE}\": ${size_hint}")
endif()
if(FACTORY_REGION_BYTES EQUAL 0)
  message(FATAL_ERROR "FACTORY_REGION_SIZE is ${FACTORY_REGION_SIZE}: it must be positive")
endif()
if(FACTORY_REGION_BYTES GREATER 67108864)
  message(FATAL_ERROR "FACTORY_REGION_SIZE is ${FACTORY_REGION_SIZE}: at most 64 MiB (0x4000000)")
endif()
math(EXPR size_rest "${FACTORY_REGION_BYTES} % 512")
if(NOT size_rest EQUAL 0)
  message(FATAL_ERROR "FACTORY_REGION_SIZE is ${FACTORY_REGION_SIZE}: it must be a multiple of 512")
endif()
math(EXPR FACTORY_REGION_HEX "${FACTORY_REGION_BYTES}" OUTPUT_FORMAT HEXADECIMAL)

# FACTORY_JOURNAL_DIR: an absolute path; repeated and trailing slashes are dropped. The
# programs make the directory with mode 0700 and the package ships it so: it must be one
# of their own, not the root or a temporary directory that everyone shares.
factory_check_text(FACTORY_JOURNAL_DIR "${FACTORY_JOURNAL_DIR}")
if(NOT FACTORY_JOURNAL_DIR MATCHES "^/" OR FACTORY_JOURNAL_DIR MATCHES "/\\.\\.?(/|$)")
  message(FATAL_ERROR "FACTORY_JOURNAL_DIR is \"${FACTORY_JOURNAL_DIR}\": give an absolute path, such as /var/lib/cellrw")
endif()
string(REGEX REPLACE "//+" "/" FACTORY_JOURNAL_DIRECTORY "${FACTORY_JOURNAL_DIR}")
string(REGEX REPLACE "(.)/$" "\\1" FACTORY_JOURNAL_DIRECTORY "${FACTORY_JOURNAL_DIRECTORY}")
if(FACTORY_JOURNAL_DIRECTORY MATCHES "^/((var/)?tmp)?$")
  message(FATAL_ERROR "FACTORY_JOURNAL_DIR is \"${FACTORY_JOURNAL_DIR}\": give a directory of the programs' own, "
    "such as /var/lib/cellrw, not / or a shared temporary directory (the journal's is made mode 0700)")
endif()
