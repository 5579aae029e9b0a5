# Runs the workload in PROGRAM (a C++ program from the distribution, cmake) plainly and with
# LIBRARY and OBSERVER preloaded, and checks that the preloaded run gives the same output and
# that its allocations reached the library's counters.
#   cmake -DPROGRAM=... -DLIBRARY=... -DOBSERVER=... -DWORKLOAD=... -DREPORT=... -P run_preload.cmake

# Preloading only replaces new/delete in a program that takes them from a shared libstdc++.
execute_process(COMMAND ldd ${PROGRAM} OUTPUT_VARIABLE needed RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT needed MATCHES "libstdc\\+\\+\\.so")
  message("preload test skipped: ${PROGRAM} does not link libstdc++ dynamically")
  return()
endif()

execute_process(COMMAND ${PROGRAM} -P ${WORKLOAD}
  OUTPUT_VARIABLE expected ERROR_VARIABLE expected RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR expected STREQUAL "")
  message(FATAL_ERROR "the plain run failed (${rc}): ${expected}")
endif()

# run_preloaded(<limit> <prefix>): runs the workload under the limit and sets
# <prefix>_<key> from the observer's report.
function(run_preloaded limit prefix)
  file(REMOVE ${REPORT})
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env "LD_PRELOAD=${LIBRARY}:${OBSERVER}"
            VOQ_MAXIMUM_MEMORY=${limit} MEMMGR_OBSERVER_REPORT=${REPORT}
            ${PROGRAM} -P ${WORKLOAD}
    OUTPUT_VARIABLE output ERROR_VARIABLE output RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0 OR NOT output STREQUAL expected)
    message(FATAL_ERROR "limit ${limit}: the preloaded run failed (${rc}) or its output differs:\n"
                        "expected: ${expected}\ngot: ${output}")
  endif()
  if(NOT EXISTS ${REPORT})
    message(FATAL_ERROR "limit ${limit}: the observer wrote no report (was the library loaded?)")
  endif()
  file(STRINGS ${REPORT} lines)
  message("limit ${limit}: ${lines}")
  foreach(line IN LISTS lines)
    string(REGEX MATCH "^([a-z_]+)=(-?[0-9]+)$" pair "${line}")
    set(${prefix}_${CMAKE_MATCH_1} ${CMAKE_MATCH_2} PARENT_SCOPE)
  endforeach()
endfunction()

# A limit of 0: every accounted allocation goes through the recovery sequence (three hook
# calls) and is then allowed over the limit.
run_preloaded(0 tight)
if(NOT tight_peak GREATER 65536 OR NOT tight_overallocations GREATER 100)
  message(FATAL_ERROR "the program's allocations did not reach the counters")
endif()
math(EXPR expected_hook_calls "3 * ${tight_overallocations}")
if(NOT tight_hook_calls EQUAL expected_hook_calls)
  message(FATAL_ERROR "${tight_hook_calls} hook calls for ${tight_overallocations} over-limit allocations, expected three each")
endif()

# A budget the program fits in: no recovery at all.
run_preloaded(268435456 roomy)
if(NOT roomy_hook_calls EQUAL 0 OR NOT roomy_overallocations EQUAL 0)
  message(FATAL_ERROR "the program fits its budget, yet the recovery sequence ran")
endif()
