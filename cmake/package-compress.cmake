# SPDX-License-Identifier: MIT
# Run by cpack between the staging install and the packing: compress the manual pages and
# the changelogs of the staged tree with gzip -9n, as Debian's policy asks.
file(GLOB_RECURSE staged_files LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*")
list(FILTER staged_files INCLUDE REGEX "/share/(man/man[0-9]/[^/]+\\.[0-9]|doc/[^/]+/changelog)$")
foreach(file ${staged_files})
  execute_process(COMMAND gzip -9nf "${file}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip -9n ${file} failed")
  endif()
endforeach()
