# SPDX-License-Identifier: MIT
# Run by cpack (chosen by package-cpack.cmake) before it packs the release tarball. cpack
# copies nothing of the source tree itself (CPACK_SOURCE_INSTALLED_DIRECTORIES is empty):
# this copies exactly the files git tracks in it, as they are in the tree, with their
# modes and links, so that nothing else lying there (a build tree, a staging directory of
# ARM programs) is packed. The tarball is made from a git checkout of the project;
# anywhere else it is refused.

set(source "${CPACK_FIELDTOOLS_SOURCE_DIR}")
find_program(GIT_COMMAND git)
if(NOT GIT_COMMAND)
  message(FATAL_ERROR "The release tarball holds the files git tracks, and git is missing")
endif()
execute_process(COMMAND ${GIT_COMMAND} -C "${source}" rev-parse --show-toplevel
  OUTPUT_VARIABLE top OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE status)
get_filename_component(source_real "${source}" REALPATH)
if(status EQUAL 0)
  get_filename_component(top "${top}" REALPATH)
endif()
if(NOT status EQUAL 0 OR NOT top STREQUAL source_real)
  message(FATAL_ERROR "The release tarball holds the files git tracks, and ${source} is not a git checkout's top")
endif()

# The tracked files, NUL-separated, through tar, which keeps modes and links; a tracked
# file missing from the tree fails the copy.
file(MAKE_DIRECTORY "${CPACK_TEMPORARY_DIRECTORY}")
execute_process(COMMAND ${GIT_COMMAND} -C "${source}" ls-files -z
  COMMAND tar -C "${source}" --null --no-recursion -T - -cf -
  COMMAND tar -C "${CPACK_TEMPORARY_DIRECTORY}" -xf -
  RESULTS_VARIABLE statuses ERROR_VARIABLE errors)
if(NOT statuses MATCHES "^0;0;0$")
  message(FATAL_ERROR "Copying the files git tracks in ${source} failed:\n${errors}")
endif()
