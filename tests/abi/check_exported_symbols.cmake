# SPDX-License-Identifier: Apache-2.0
# Compares the dynamic symbols a shared library defines with a checked-in list. readelf reads
# ELF files of any machine, so this works unchanged on a cross build.
#   cmake -DREADELF=<readelf> -DLIBRARY=<file.so> -DEXPECTED=<list> -P check_exported_symbols.cmake
execute_process(COMMAND ${READELF} --dyn-syms -W ${LIBRARY} OUTPUT_VARIABLE table RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${READELF} failed on ${LIBRARY}")
endif()
# "Type Bind Vis [other] Ndx Name[@version]" of every defined, non-local function or object;
# linkers' own markers (_edata, _end, ...) have no type and stay out.
string(REGEX MATCHALL "(FUNC|IFUNC|OBJECT|TLS) +(GLOBAL|WEAK) +[A-Z]+( \\[[^]\n]*\\])? +[0-9]+ +[^ @\n]+"
  rows "${table}")
set(actual "")
foreach(row IN LISTS rows)
  string(REGEX REPLACE "^(I?FUNC).* ([^ ]+)$" "function \\2" row "${row}")
  string(REGEX REPLACE "^(OBJECT|TLS).* ([^ ]+)$" "data \\2" row "${row}")
  list(APPEND actual "${row}")
endforeach()
file(STRINGS ${EXPECTED} expected REGEX "^[a-z]")
set(missing ${expected})
list(REMOVE_ITEM missing ${actual})
set(extra ${actual})
list(REMOVE_ITEM extra ${expected})
if(missing OR extra)
  message(FATAL_ERROR "exported symbols of ${LIBRARY} differ from ${EXPECTED}\n"
    "  missing: ${missing}\n  extra: ${extra}")
endif()
