# Installs the build into a scratch prefix and checks the layout a Debian
# user expects: the tool in bin/, its manual page in share/man/man1/, and a
# manual page groff renders without a warning.
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed")
endif()
foreach(path bin/interlace share/man/man1/interlace.1)
  if(NOT EXISTS "${PREFIX}/${path}")
    message(FATAL_ERROR "not installed: ${path}")
  endif()
endforeach()
find_program(GROFF groff)
if(GROFF)
  execute_process(COMMAND "${GROFF}" -man -Tutf8 -ww -z "${PREFIX}/share/man/man1/interlace.1"
                  ERROR_VARIABLE warnings RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR NOT warnings STREQUAL "")
    message(FATAL_ERROR "the manual page does not render cleanly:\n${warnings}")
  endif()
  execute_process(COMMAND "${GROFF}" -man -Tutf8 -P-cbou "${PREFIX}/share/man/man1/interlace.1"
                  OUTPUT_VARIABLE page ERROR_QUIET)
  foreach(section NAME SYNOPSIS DESCRIPTION FILES "EXIT STATUS" EXAMPLES NOTES)
    string(FIND "${page}" "${section}" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "the manual page has no ${section} section")
    endif()
  endforeach()
else()
  message(STATUS "groff not found: the manual page was installed but not rendered")
endif()
