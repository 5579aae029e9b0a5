# Compares the dynamic symbols a shared library defines with a checked-in list. readelf reads
# ELF files of any machine, so this works unchanged on a cross build.
#   cmake -DREADELF=<readelf> -DLIBRARY=<file.so> -DEXPECTED=<list> -P check_exported_symbols.cmake
cmake_minimum_required(VERSION 3.25)

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
  if(NOT line MATCHES "${row}" OR CMAKE_MATCH_4 STREQUAL "UND" OR CMAKE_MATCH_2 STREQUAL "LOCAL")
    continue()
  endif()
  set(type ${CMAKE_MATCH_1})
  set(name ${CMAKE_MATCH_5})
  if(name IN_LIST linker_markers)
    continue()
  elseif(type MATCHES "^(FUNC|IFUNC)$")
    list(APPEND actual "function ${name}")
  elseif(type MATCHES "^(OBJECT|TLS|COMMON)$")
    list(APPEND actual "data ${name}")
  else()
    list(APPEND actual "${type} ${name}")
  endif()
endforeach()

file(STRINGS ${EXPECTED} expected REGEX "^[a-z]")
set(missing ${expected})
list(REMOVE_ITEM missing ${actual})
set(extra ${actual})
list(REMOVE_ITEM extra ${expected})
if(missing OR extra)
  # A symbol of the wrong kind shows as missing under one kind and extra under the other.
  list(JOIN missing "\n  missing: " missing)
  list(JOIN extra "\n  extra:   " extra)
  message(FATAL_ERROR "Exported symbols of ${LIBRARY} differ from ${EXPECTED}"
    "\n  missing: ${missing}\n  extra:   ${extra}")
endif()
