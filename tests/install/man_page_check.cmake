# Renders the manual page with every groff warning on, and checks that each
# option the program's usage text lists is documented.
# Variables: PAGE SONEX

find_program(GROFF groff)
if(NOT GROFF)
  message("man_page: groff is not installed (Debian package groff-base)")
  cmake_language(EXIT 77)
endif()

execute_process(COMMAND ${GROFF} -t -man -Tutf8 -ww -z ${PAGE}
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE warnings)
if(NOT rc EQUAL 0 OR NOT warnings STREQUAL "")
  message(FATAL_ERROR "man_page: groff (${rc}) warns about ${PAGE}:\n${warnings}")
endif()

# The usage text comes with exit code 11 when no argument is given; its
# option descriptions are the lines that hold nothing but an option name.
execute_process(COMMAND ${SONEX} OUTPUT_VARIABLE usage ERROR_QUIET RESULT_VARIABLE rc)
if(NOT rc EQUAL 11)
  message(FATAL_ERROR "man_page: sonex without arguments answered ${rc}, not 11")
endif()
string(REGEX MATCHALL "\n-[a-z]+\n" options "${usage}")
if(NOT options)
  message(FATAL_ERROR "man_page: no option found in the usage text:\n${usage}")
endif()
file(READ ${PAGE} page)
foreach(option IN LISTS options)
  string(STRIP "${option}" option)
  string(SUBSTRING "${option}" 1 -1 name)
  if(NOT page MATCHES "\n\\.BI? \\\\-${name}[ \n]")
    message(FATAL_ERROR "man_page: the option ${option} has no entry in ${PAGE}")
  endif()
endforeach()
foreach(code IN ITEMS 0 1 2 3 4 5 11 "129 130 143")
  if(NOT page MATCHES "\n\\.TP\n\\.B ${code}\n")
    message(FATAL_ERROR "man_page: the exit code ${code} has no entry in ${PAGE}")
  endif()
endforeach()
