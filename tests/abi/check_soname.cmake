# SPDX-License-Identifier: Apache-2.0
# Checks the names the dynamic loader goes by: the library's SONAME (EXPECTED), and that it
# needs the base library by its plain name, under which a host ships the real one in place of
# the stand-in.
#   cmake -DREADELF=<readelf> -DLIBRARY=<file.so> -DEXPECTED=<soname> -P check_soname.cmake
execute_process(COMMAND ${READELF} --dynamic -W ${LIBRARY} OUTPUT_VARIABLE dynamic
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${READELF} failed on ${LIBRARY}")
endif()
string(REGEX MATCH "\\(SONAME\\)[^[]*\\[([^]]*)\\]" soname "${dynamic}")
if(NOT "${CMAKE_MATCH_1}" STREQUAL "${EXPECTED}" OR EXPECTED STREQUAL "")
  message(FATAL_ERROR "${LIBRARY}: SONAME '${CMAKE_MATCH_1}', expected '${EXPECTED}'")
endif()
if(NOT dynamic MATCHES "\\(NEEDED\\)[^[\n]*\\[liblib_base\\.so\\]")
  message(FATAL_ERROR "${LIBRARY} does not need liblib_base.so by that name:\n${dynamic}")
endif()
