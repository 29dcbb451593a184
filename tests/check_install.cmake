# Installs the build into a scratch prefix and checks the layout a Debian
# user expects: both tools in bin/, their decoder in libexec/interlace/, their
# manual pages in share/man/man1/,
# and pages groff renders without a warning.
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed")
endif()
foreach(path bin/interlace bin/interlace-check libexec/interlace/interlace-decoder share/man/man1/interlace.1.gz
    share/man/man1/interlace-check.1.gz share/doc/interlace/copyright)
  if(NOT EXISTS "${PREFIX}/${path}")
    message(FATAL_ERROR "not installed: ${path}")
  endif()
endforeach()
# A page that isn't rendered isn't checked: the test command installs groff.
find_program(GROFF groff)
if(NOT GROFF)
  message(FATAL_ERROR "groff not found (Debian package groff-base): the manual pages can't be checked")
endif()
foreach(page interlace interlace-check)
  set(source "${BUILD_DIR}/${page}.1.unpacked")
  execute_process(COMMAND gzip -dc "${PREFIX}/share/man/man1/${page}.1.gz" OUTPUT_FILE "${source}"
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "the manual page ${page}.1.gz can't be unpacked")
  endif()
  execute_process(COMMAND "${GROFF}" -man -Tutf8 -ww -z "${source}"
                  ERROR_VARIABLE warnings RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR NOT warnings STREQUAL "")
    message(FATAL_ERROR "the manual page ${page}.1 does not render cleanly:\n${warnings}")
  endif()
  execute_process(COMMAND "${GROFF}" -man -Tutf8 -P-cbou "${source}" OUTPUT_VARIABLE text ERROR_QUIET)
  foreach(section NAME SYNOPSIS DESCRIPTION "EXIT STATUS" EXAMPLES NOTES)
    string(FIND "${text}" "${section}" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "the manual page ${page}.1 has no ${section} section")
    endif()
  endforeach()
endforeach()
