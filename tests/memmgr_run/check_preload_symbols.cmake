# SPDX-License-Identifier: Apache-2.0
# What memmgr-run loads into the program may stand in front of the C library only for the calls
# that start processes, which it must follow; the program's I/O, its system calls, its
# environment and its allocations (the C++ runtime's new and delete) stay the program's own.
# Every dynamic symbol the preloaded object defines that the C or C++ runtime defines too must
# be one of that family.
#   cmake -DNM=... -DPRELOAD=... -DCXX=<the compiler, which finds the runtimes> -P check_preload_symbols.cmake
cmake_minimum_required(VERSION 3.25)
set(allowed execve execv execvp execvpe execl execlp execle fexecve execveat fork vfork clone
  posix_spawn posix_spawnp system popen)

function(defined out file)
  execute_process(COMMAND ${NM} -D --defined-only ${file} OUTPUT_VARIABLE listing
                  RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${NM} cannot list ${file}")
  endif()
  string(REGEX MATCHALL "[^ \n]+ [A-Za-z] [^ \n@]+" entries "${listing}")
  list(TRANSFORM entries REPLACE "^.* " "")
  set(${out} ${entries} PARENT_SCOPE)
endfunction()

defined(preloaded ${PRELOAD})
if(NOT preloaded MATCHES "execve")
  message(FATAL_ERROR "no exec wrapper among the preloaded object's symbols: ${preloaded}")
endif()
set(runtime "")
foreach(library libc.so.6 libstdc++.so.6)
  execute_process(COMMAND ${CXX} -print-file-name=${library} OUTPUT_VARIABLE library
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  defined(names ${library})
  list(APPEND runtime ${names})
endforeach()
set(strays "")
foreach(name IN LISTS preloaded)
  if(name IN_LIST runtime AND NOT name IN_LIST allowed)
    list(APPEND strays ${name})
  endif()
endforeach()
if(strays)
  message(FATAL_ERROR "the preloaded object defines the runtime's ${strays}")
endif()
