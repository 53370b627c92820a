# SPDX-License-Identifier: MIT
# Run by cpack (chosen by package-cpack.cmake) between the staging install of the Debian
# packages and their packing: it adds to each staged package what no install rule puts on
# a machine (its copyright file and changelog, and for fieldtools-factory the lintian
# override and the journal directory with mode 0700), and compresses the pages and the
# changelogs with gzip -9n, as Debian's policy asks.

set(readable OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
foreach(component IN LISTS CPACK_COMPONENTS_ALL)
  string(TOUPPER ${component} COMPONENT)
  set(package ${CPACK_DEBIAN_${COMPONENT}_PACKAGE_NAME})
  set(staged ${CPACK_TEMPORARY_DIRECTORY}/${component})
  set(from ${CPACK_FIELDTOOLS_PACKAGE_DIR}/${component})
  if(NOT IS_DIRECTORY "${staged}")
    message(FATAL_ERROR "cpack staged nothing of ${package} in ${staged}")
  endif()
  file(COPY ${from}/copyright ${from}/changelog DESTINATION ${staged}/usr/share/doc/${package}
    FILE_PERMISSIONS ${readable})
  if(EXISTS ${from}/lintian/${package})
    file(COPY ${from}/lintian/${package} DESTINATION ${staged}/usr/share/lintian/overrides
      FILE_PERMISSIONS ${readable})
  endif()
  if(component STREQUAL "factory")
    file(MAKE_DIRECTORY "${staged}${CPACK_FIELDTOOLS_JOURNAL_DIR}")
    file(CHMOD "${staged}${CPACK_FIELDTOOLS_JOURNAL_DIR}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
  endif()
endforeach()

file(GLOB_RECURSE staged_files LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*")
list(FILTER staged_files INCLUDE REGEX "/share/(man/man[0-9]/[^/]+\\.[0-9]|doc/[^/]+/changelog)$")
foreach(file ${staged_files})
  execute_process(COMMAND gzip -9nf "${file}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip -9n ${file} failed")
  endif()
endforeach()
