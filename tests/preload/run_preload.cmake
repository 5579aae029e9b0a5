# Runs the workload in PROGRAM (a C++ program from the distribution, cmake) plainly and through
# memmgr-run (RUN), and checks that the program's output and exit status come through
# untouched, that its allocations reached the summary, the CSV timeline and the chart, and
# the tool's answers to bad input. Output files go to OUT, one under a hostile name.
#   cmake -DRUN=... -DPROGRAM=... -DWORKLOAD=... -DOUT=... -P run_preload.cmake

# Preloading only replaces new/delete in a program that takes them from a shared libstdc++.
execute_process(COMMAND ldd ${PROGRAM} OUTPUT_VARIABLE needed RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT needed MATCHES "libstdc\\+\\+\\.so")
  message("preload test skipped: ${PROGRAM} does not link libstdc++ dynamically")
  return()
endif()
execute_process(COMMAND ${PROGRAM} -P ${WORKLOAD} OUTPUT_VARIABLE expected ERROR_VARIABLE expected)

# summary_figure(<name> <var>): the number after "<name>:" in the last report.
function(summary_figure name var)
  file(READ ${OUT}/report.txt report)
  if(NOT report MATCHES "\n  ${name}: +([0-9]+)")
    message(FATAL_ERROR "no figure for '${name}' in the summary:\n${report}")
  endif()
  set(${var} ${CMAKE_MATCH_1} PARENT_SCOPE)
endfunction()

# A limit of 0: every accounted allocation goes through the recovery sequence (three hook
# calls) and is then allowed over the limit. The chart's name is data, never a command.
set(chart "${OUT}/chart \"'; system(\"touch injected\") # $(touch injected).png")
file(REMOVE ${OUT}/injected ${OUT}/timeline.csv "${chart}")
find_program(GNUPLOT gnuplot)
set(plot "--interval=5")
if(GNUPLOT)
  set(plot "--plot=${chart}")  # one quoted argument: the semicolon does not split it
endif()
execute_process(
  COMMAND ${RUN} --limit 0 --report ${OUT}/report.txt --csv ${OUT}/timeline.csv "${plot}"
          --interval 5 -- ${PROGRAM} -P ${WORKLOAD}
  OUTPUT_VARIABLE output ERROR_VARIABLE output RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT output STREQUAL expected)
  message(FATAL_ERROR "limit 0: failed (${rc}) or the output differs:\nexpected: ${expected}\ngot: ${output}")
endif()
summary_figure("peak accounted" peak)
summary_figure("admitted over the limit" overallocations)
summary_figure("garbage-collect hook calls" hook_calls)
summary_figure("peak resident" resident)
math(EXPR expected_hook_calls "3 * ${overallocations}")
if(NOT peak GREATER 65536 OR NOT overallocations GREATER 100 OR NOT resident GREATER peak
   OR NOT hook_calls EQUAL expected_hook_calls)
  message(FATAL_ERROR "limit 0: peak ${peak}, ${overallocations} over the limit, "
                      "${hook_calls} hook calls (three each expected), resident ${resident}")
endif()
file(STRINGS ${OUT}/timeline.csv rows)
list(POP_FRONT rows header)
list(FILTER rows EXCLUDE REGEX "^[0-9]+\\.[0-9][0-9][0-9],[0-9]+,[1-9][0-9]*$")
if(NOT header STREQUAL "time_s,accounted_bytes,resident_bytes" OR rows)
  message(FATAL_ERROR "timeline: header '${header}', malformed rows: ${rows}")
endif()
if(GNUPLOT)
  file(READ "${chart}" magic LIMIT 8 HEX)
  if(NOT magic STREQUAL "89504e470d0a1a0a" OR EXISTS ${OUT}/injected)
    message(FATAL_ERROR "the chart is no PNG (${magic}), or its name was executed")
  endif()
endif()

# A budget the program fits in: no recovery; a pressure threshold it crosses; and the status
# of a program that fails after the work passed through.
execute_process(
  COMMAND ${RUN} --limit=256M --pressure 64K --report ${OUT}/report.txt
          ${PROGRAM} -DFAIL=ON -P ${WORKLOAD}
  OUTPUT_QUIET ERROR_QUIET RESULT_VARIABLE rc)
summary_figure("admitted over the limit" overallocations)
summary_figure("garbage-collect hook calls" hook_calls)
file(READ ${OUT}/report.txt report)
if(NOT rc EQUAL 1 OR NOT overallocations EQUAL 0 OR NOT hook_calls EQUAL 0
   OR NOT report MATCHES "pressure above 64.0 KiB: +first at [0-9.]+ s")
  message(FATAL_ERROR "256 MiB: status ${rc} (1 expected), or recovery ran, or no pressure:\n${report}")
endif()

# A program that never uses new, ended by a signal: 128 + 15, and nothing accounted.
execute_process(COMMAND ${RUN} --report ${OUT}/report.txt sh -c "kill -TERM $$"
  RESULT_VARIABLE rc)
file(READ ${OUT}/report.txt report)
if(NOT rc EQUAL 143 OR NOT report MATCHES "accounted: +nothing")
  message(FATAL_ERROR "sh killed by SIGTERM: status ${rc} (143 expected):\n${report}")
endif()

# Bad input: usage errors give 2, a program that cannot be run 127.
foreach(case "2;--limit;12Q;true" "2;--bogus;true" "2;--interval;0;true" "127;${OUT}/no-such-program")
  list(POP_FRONT case status)
  execute_process(COMMAND ${RUN} ${case} OUTPUT_QUIET ERROR_VARIABLE message RESULT_VARIABLE rc)
  if(NOT rc EQUAL status OR message STREQUAL "")
    message(FATAL_ERROR "memmgr-run ${case}: status ${rc}, ${status} expected, message '${message}'")
  endif()
endforeach()
