# Compares the dynamic symbols a shared library defines with a checked-in list.
# cmake -DREADELF=<readelf> -DLIBRARY=<file.so> -DEXPECTED=<list> -P check_exported_symbols.cmake
#
# readelf reads ELF files of any machine, so this works unchanged on a cross build.
cmake_minimum_required(VERSION 3.25)

foreach(var READELF LIBRARY EXPECTED)
  if(NOT ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()

execute_process(COMMAND ${READELF} --dyn-syms -W ${LIBRARY}
  OUTPUT_VARIABLE table RESULT_VARIABLE status ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${READELF} failed on ${LIBRARY}: ${errors}")
endif()

# Markers some linkers define in every shared object; they are not part of the interface.
set(linker_markers _init _fini _edata _end __bss_start __bss_start__ __bss_end__ _bss_end__ __end__)

# "Num: Value Size Type Bind Vis [other] Ndx Name[@version]"
set(row "^ *[0-9]+: +[0-9a-fA-F]+ +[0-9a-fx]+ +([A-Z_]+) +([A-Z_]+) +[A-Z_]+( \\[[^]]*\\])? +([A-Z0-9_]+) +([^ @]+)")
string(REPLACE "\n" ";" lines "${table}")
set(actual "")
foreach(line IN LISTS lines)
  if(NOT line MATCHES "${row}")
    continue()
  endif()
  set(type ${CMAKE_MATCH_1})
  set(bind ${CMAKE_MATCH_2})
  set(ndx ${CMAKE_MATCH_4})
  set(name ${CMAKE_MATCH_5})
  if(ndx STREQUAL "UND" OR bind STREQUAL "LOCAL" OR name IN_LIST linker_markers)
    continue()
  endif()
  if(type MATCHES "^(FUNC|IFUNC)$")
    list(APPEND actual "function ${name}")
  elseif(type MATCHES "^(OBJECT|TLS|COMMON)$")
    list(APPEND actual "data ${name}")
  else()
    list(APPEND actual "${type} ${name}")
  endif()
endforeach()

file(STRINGS ${EXPECTED} listed REGEX "^[a-z]")
set(expected "")
foreach(entry IN LISTS listed)
  string(STRIP "${entry}" entry)
  list(APPEND expected "${entry}")
endforeach()

set(missing ${expected})
list(REMOVE_ITEM missing ${actual})
set(extra ${actual})
list(REMOVE_ITEM extra ${expected})
list(LENGTH expected expected_count)

if(missing OR extra)
  set(report "Exported symbols of ${LIBRARY} differ from ${EXPECTED}")
  # A symbol of the wrong kind shows as missing under one kind and extra under the other.
  foreach(entry IN LISTS missing)
    string(APPEND report "\n  missing: ${entry}")
  endforeach()
  foreach(entry IN LISTS extra)
    string(APPEND report "\n  extra:   ${entry}")
  endforeach()
  message(FATAL_ERROR "${report}")
endif()
message(STATUS "All ${expected_count} expected symbols exported, nothing else")
