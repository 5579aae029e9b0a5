# SPDX-License-Identifier: Apache-2.0
# The manual and --help name the same options, and the manual has the sections a user looks
# for: an option added to one and not the other fails here. The usage, on standard output, names
# --help and --version.
#   cmake -DRUN=<memmgr-run> -DMANUAL=<memmgr-run.1> -P check_manual.cmake
execute_process(COMMAND ${RUN} --help OUTPUT_VARIABLE help RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT help MATCHES "--help \\| --version\n")
  message(FATAL_ERROR "memmgr-run --help ended with ${rc}, printing:\n${help}")
endif()
file(READ ${MANUAL} manual)
# troff writes a hyphen of an option as \-.
string(REPLACE "\\-" "-" manual "${manual}")
foreach(text IN ITEMS help manual)
  string(REGEX MATCHALL "--[a-z][a-z-]*" found "${${text}}")
  list(REMOVE_DUPLICATES found)
  list(SORT found)
  set(${text}_options ${found})
endforeach()
if(NOT help_options STREQUAL manual_options)
  message(FATAL_ERROR "--help names '${help_options}', the manual '${manual_options}'")
endif()
foreach(section IN ITEMS SYNOPSIS OPTIONS "EXIT STATUS" ENVIRONMENT)
  if(NOT manual MATCHES "\n\\.SH \"?${section}\"?\n")
    message(FATAL_ERROR "the manual has no ${section} section")
  endif()
endforeach()
