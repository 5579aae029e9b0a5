# SPDX-License-Identifier: Apache-2.0
# Runs the workload in PROGRAM (a C++ program from the distribution, cmake) plainly and through
# memmgr-run (RUN), and checks that the program's output and exit status come through
# untouched, that its allocations reached the summary, the CSV timeline and the chart, and
# the tool's answers to bad input, and first its version (VERSION, the project's). Output files
# go to OUT, the chart under a hostile name.
#   cmake -DRUN=... -DPROGRAM=... -DWORKLOAD=... -DOUT=... -DVERSION=... -P run_preload.cmake

# The version is the project's, on standard output (check_manual.cmake reads the usage).
execute_process(COMMAND ${RUN} --version OUTPUT_VARIABLE printed RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT printed STREQUAL "memmgr-run ${VERSION}\n")
  message(FATAL_ERROR "memmgr-run --version: status ${rc}, printed:\n${printed}")
endif()

# Preloading only replaces new/delete in a program that takes them from a shared libstdc++.
execute_process(COMMAND ldd ${PROGRAM} OUTPUT_VARIABLE needed RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT needed MATCHES "libstdc\\+\\+\\.so")
  message("preload test skipped: ${PROGRAM} does not link libstdc++ dynamically")
  return()
endif()
execute_process(COMMAND ${PROGRAM} -P ${WORKLOAD} OUTPUT_VARIABLE expected ERROR_VARIABLE expected)

# Sets `report`, and a variable for each figure of it: "  peak accounted: 944080 bytes"
# gives peak_accounted=944080.
macro(read_summary)
  file(READ ${OUT}/report.txt report)
  string(REGEX MATCHALL "\n  [a-z -]+: +[0-9]+" figures "${report}")
  foreach(figure IN LISTS figures)
    string(REGEX MATCH "  ([a-z -]+): +([0-9]+)" figure "${figure}")
    string(REPLACE " " "_" name "${CMAKE_MATCH_1}")
    set(${name} ${CMAKE_MATCH_2})
  endforeach()
endmacro()

# A limit of 0: every accounted allocation goes through the recovery sequence (three hook
# calls) and is then allowed over the limit. The chart's name is data, never a command.
set(chart "${OUT}/chart \"'; system(\"touch injected\") # $(touch injected).png")
file(REMOVE ${OUT}/injected "${chart}")
find_program(GNUPLOT gnuplot)
set(plot "--interval=5")
if(GNUPLOT)
  set(plot "--plot=${chart}")  # one quoted argument: the semicolon does not split it
endif()
execute_process(
  COMMAND ${RUN} --limit 0 --report ${OUT}/report.txt --csv ${OUT}/timeline.csv "${plot}"
          --interval 5 -- ${PROGRAM} -P ${WORKLOAD}
  OUTPUT_VARIABLE output ERROR_VARIABLE output RESULT_VARIABLE rc)
read_summary()
math(EXPR three_each "3 * ${admitted_over_the_limit}")
if(NOT rc EQUAL 0 OR NOT output STREQUAL expected OR NOT peak_accounted GREATER 65536
   OR NOT admitted_over_the_limit GREATER 100 OR NOT garbage-collect_hook_calls EQUAL three_each
   OR NOT peak_resident GREATER peak_accounted)
  message(FATAL_ERROR "limit 0: status ${rc}, output '${output}' ('${expected}' expected), "
                      "three hook calls per allocation over the limit expected:\n${report}")
endif()
# Until the companion has started, the accounted figure is not known: an empty field. The last
# row is the end: the final accounted total, and no resident size (the memory is gone); so are
# the rows of the heights the companion noted between readings.
file(STRINGS ${OUT}/timeline.csv rows)
list(POP_FRONT rows header)
list(POP_BACK rows end_row)
string(REGEX MATCH "wall time: +([0-9.]+) s" wall "${report}")
set(end "${CMAKE_MATCH_1},${final_accounted},")
set(accounted ${rows})
list(FILTER accounted INCLUDE REGEX ",[1-9][0-9]*,")
list(FILTER rows EXCLUDE REGEX "^[0-9]+\\.[0-9][0-9][0-9],([0-9]*,[1-9][0-9]*|[0-9]+,)$")
if(NOT header STREQUAL "time_s,accounted_bytes,resident_bytes" OR rows OR NOT accounted
   OR NOT end_row STREQUAL end)
  message(FATAL_ERROR "timeline: header '${header}', malformed rows: ${rows}, none accounted, "
                      "or it ends with '${end_row}', not '${end}'")
endif()
if(GNUPLOT)
  file(READ "${chart}" magic LIMIT 8 HEX)
  if(NOT magic STREQUAL "89504e470d0a1a0a" OR EXISTS ${OUT}/injected)
    message(FATAL_ERROR "the chart is no PNG (${magic}), or its name was executed")
  endif()
endif()

# A budget the program fits in: no recovery, and a pressure threshold it crosses.
execute_process(
  COMMAND ${RUN} --limit=256M --pressure 64K --report ${OUT}/report.txt ${PROGRAM} -P ${WORKLOAD}
  OUTPUT_QUIET ERROR_QUIET RESULT_VARIABLE rc)
read_summary()
if(NOT rc EQUAL 0 OR NOT admitted_over_the_limit EQUAL 0 OR NOT garbage-collect_hook_calls EQUAL 0
   OR NOT report MATCHES "pressure above 64.0 KiB: +first at [0-9.]+ s")
  message(FATAL_ERROR "256 MiB: status ${rc}, or recovery ran, or no pressure:\n${report}")
endif()

# "<status>;<in its messages>;<arguments>": the status passed through (the tool ends by the
# signal N that ended the program, which a shell tells as 128 + N), nothing accounted for a
# program that never uses new, 2 for bad usage, 127 for a program that cannot be run, 3 for an output that could not be written unless the program failed itself.
# The options end at PROGRAM: its own --limit is its own.
foreach(case "3;exit status: +3;sh;-c;exit 3" "0;accounted: +nothing: no allocation;true"
    "143;ended by signal 15;sh;-c;kill -TERM $$"
    "2;not a size;--limit;12Q;true" "2;unknown option;--bogus;true"
    "2;unknown option: --version=1;--version=1"
    "2;milliseconds;--interval;0;true" "127;cannot run;${OUT}/no-such-program"
    "2;--limit needs a value;--limit" "5;limit: +1048576 bytes;--limit=1M;--;sh;-c;exit 5"
    "7;limit: +none;sh;-c;exit 7;--limit;1K"
    "3;cannot write the report to /dev/full;--report;/dev/full;true"
    "4;cannot write the report to /dev/full;--report;/dev/full;sh;-c;exit 4")
  list(POP_FRONT case status pattern)
  execute_process(COMMAND sh -c "\"$@\"" sh ${RUN} ${case} OUTPUT_QUIET ERROR_VARIABLE message
                  RESULT_VARIABLE rc)
  if(NOT rc EQUAL status OR NOT message MATCHES "${pattern}")
    message(FATAL_ERROR "memmgr-run ${case}: status ${rc} (${status} expected):\n${message}")
  endif()
endforeach()

# The user's files: "<status>;<in its messages>;<F afterwards>;<shell command>", each run in a
# directory of its own where F holds "earlier". The tool's own standard output is written where
# it stands, never truncated; two outputs on one file are refused; a failed write leaves the
# earlier file whole, and nothing else behind. A standard stream the tool was started without
# takes none of its files, and naming it as an output is refused, whatever the name (never the
# machine's own /dev/stderr here: a link of the case's own leads to it); without it the summary
# is dropped, which is no failure (nor does gnuplot get the placeholder for its input). A link
# is followed as `>` follows it, to a target yet to be created too.
set(files ${OUT}/files)
foreach(case
    "0;^$;^earlier\nprogram\nmemmgr-run: sh\n;@RUN@ --report /dev/stdout sh -c 'echo program' >>F"
    "0;^$;^program\nmemmgr-run: sh\n;@RUN@ --report /dev/stdout sh -c 'echo program' >F"
    "2;--report F and --csv /dev/stdout are the same file;^$;@RUN@ --report F --csv /dev/stdout true >F"
    "2;--report F and --csv ./F are the same file;^none$;rm F && @RUN@ --report F --csv ./F true"
    "3;File too large;^earlier\n$;ulimit -f 0 && @RUN@ --report F true"
    "0;^$;^time_s,accounted_bytes,resident_bytes\n[0-9.,\n]+$;@RUN@ --csv F true 2>&-"
    "2;^$;^earlier\n$;ln -s /proc/self/fd/2 E && @RUN@ --report E true 2>&-\ns=$?\ntest -L E && rm E && exit $s"
    "2;--csv /dev/fd/1: it is standard output, which memmgr-run was started without;^earlier\n$;@RUN@ --csv /dev/fd/1 true >&-"
    "0;^$;^memmgr-run: true\n;mkdir d && ln -s G d/L && @RUN@ --report d/L true && test -L d/L && rm d/L && mv d/G F && rmdir d"
    "0;^;^earlier\n$;command -v gnuplot >/dev/null || exit 0\n@RUN@ --plot P.png true <&- && test \"$(head -c 4 P.png | tail -c 3)\" = PNG && rm P.png")
  list(POP_FRONT case status pattern content)
  string(REPLACE "@RUN@" "'${RUN}'" case "${case}")
  file(REMOVE_RECURSE ${files})
  file(WRITE ${files}/F "earlier\n")
  execute_process(COMMAND sh -c "${case}" WORKING_DIRECTORY ${files}
                  OUTPUT_QUIET ERROR_VARIABLE message RESULT_VARIABLE rc)
  set(written none)
  if(EXISTS ${files}/F)
    file(READ ${files}/F written)
  endif()
  file(GLOB left RELATIVE ${files} ${files}/*)
  if(NOT rc EQUAL status OR NOT message MATCHES "${pattern}" OR NOT written MATCHES "${content}"
     OR NOT left MATCHES "^F?$")
    message(FATAL_ERROR "${case}: status ${rc} (${status} expected), files ${left}, F:\n"
                        "${written}\nmessages:\n${message}")
  endif()
endforeach()

# A reader that stops early fails the timeline's write, not the tool: the other outputs still
# come, and the tool ends as the program did, by SIGPIPE (which CMake names).
string(REPLACE "${chart}" "${files}/chart.png" plot "${plot}")
execute_process(COMMAND ${RUN} --csv /dev/stdout --report ${files}/F "${plot}" yes
                COMMAND head -1 OUTPUT_QUIET ERROR_VARIABLE message RESULTS_VARIABLE rc)
file(READ ${files}/F written)
if(GNUPLOT)
  file(READ ${files}/chart.png magic LIMIT 8 HEX)
endif()
if(NOT rc STREQUAL "SIGPIPE;0" OR NOT message MATCHES "cannot write the timeline to /dev/stdout"
   OR NOT written MATCHES "exit status: +141" OR (GNUPLOT AND NOT magic STREQUAL "89504e470d0a1a0a"))
  message(FATAL_ERROR "csv into head: statuses ${rc}, chart ${magic}, messages:\n${message}\n"
                      "report:\n${written}")
endif()
