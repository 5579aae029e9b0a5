# SPDX-License-Identifier: Apache-2.0
# Fails when a loadable segment of a shared object under DIRECTORY is aligned to less than
# 16 KB: the library would not load on a device with 16 KB pages.
#   cmake -DREADELF=<readelf> -DDIRECTORY=<build dir> -P check_page_alignment.cmake
file(GLOB_RECURSE libraries ${DIRECTORY}/*.so)
if(NOT libraries)
  message(FATAL_ERROR "no shared object under ${DIRECTORY}")
endif()
foreach(library IN LISTS libraries)
  execute_process(COMMAND ${READELF} -lW ${library} OUTPUT_VARIABLE segments RESULT_VARIABLE rc)
  string(REGEX MATCHALL "\n *LOAD [^\n]* 0x[0-9a-fA-F]+" loads "${segments}")
  if(NOT rc EQUAL 0 OR NOT loads)
    message(FATAL_ERROR "${READELF} found no loadable segment in ${library}")
  endif()
  foreach(load IN LISTS loads)
    string(REGEX MATCH "0x[0-9a-fA-F]+$" align "${load}")
    math(EXPR align "${align}")
    if(align LESS 16384)
      message(FATAL_ERROR "${library}: a loadable segment aligned to ${align} bytes, below 16 KB")
    endif()
  endforeach()
  message(STATUS "${library}: every loadable segment aligned to 16 KB or more")
endforeach()
