# The table of hostile programs: each row runs hostile.cpp in one mode plainly and under
# memmgr-run, and checks the status under the tool, that the program's output (stdout and
# stderr) and status are what they are without the tool ("same"), and a pattern the summary
# must hold. Every failing row is reported, then the test fails.
#   cmake -DRUN=... -DHOSTILE=... -DSTATIC=... [-Dthread=...] [-Daddress=...] -DOUT=...
#         -P run_hostile.cmake
# "<name>|<status under the tool>|<same or differs>|<summary pattern>|<how>|<program and args>"
# where <how> is "plain", "noptrace" (the tool without CAP_SYS_PTRACE, as a user is),
# "interrupt" (the tool receives SIGTERM while the program runs), "sites" (with --sites) or
# "closeN" (the program, plain and under the tool, started with descriptor N closed).
# Every CSV must start with its header and end with a row at the program's end.
cmake_minimum_required(VERSION 3.25)
set(rows
  "fork|0|same|peak resident: +[0-9]+ bytes \\([67][0-9]\\.[0-9] MiB\\), the kernel's high-water mark at its end \\(wait4, which counts any children it waited for\\)|plain|${HOSTILE} fork"
  "exec|7|same|replaced itself with /bin/sh|plain|${HOSTILE} exec"
  "closefds|0|same|peak accounted: +[0-9]+ bytes \\(30\\.[0-9] MiB\\)|plain|${HOSTILE} closefds"
  "seccomp kill|0|same|final accounted|plain|${HOSTILE} seccomp-kill"
  "seccomp errno|0|same|final accounted|plain|${HOSTILE} seccomp-errno"
  "setuid|0|same|peak accounted: +[0-9]+ bytes \\(8\\.[0-9] MiB\\)|plain|${HOSTILE} setuid"
  "unshare|0|same|final accounted|plain|${HOSTILE} unshare"
  "main thread exits|5|same|peak accounted: +[0-9]+ bytes \\(6\\.[0-9] MiB\\)|plain|${HOSTILE} sysexit"
  "signal|143|same|ended without running its exit handlers|plain|${HOSTILE} signal"
  "bad_alloc|1|differs|memory-full events: +1. the library's default handler|plain|${HOSTILE} badalloc"
  "non-dumpable|0|same|refused.*peak accounted: +[0-9]+ bytes \\(4\\.[0-9] MiB\\)|noptrace|${HOSTILE} nondumpable"
  "children plain|0|same|accounted: +nothing: no allocation|plain|${HOSTILE} env"
  "static|0|same|static: nothing accounted|plain|${STATIC} env"
  "interrupted|143|same|interrupted: +memmgr-run received signal 15|interrupt|${HOSTILE} sleep"
  "closefds sites|0|same|top sites at peak.* main|sites|${HOSTILE} closefds"
  "seccomp kill sites|0|same|top sites at peak.* main|sites|${HOSTILE} seccomp-kill"
  "main thread exits sites|5|same|top sites at peak.* main|sites|${HOSTILE} sysexit"
  "signal sites|143|same|top sites at peak.* main|sites|${HOSTILE} signal"
  "closed stdin|0|same|final accounted|close0|${HOSTILE} streams"
  "closed stdout|0|same|final accounted|close1|${HOSTILE} streams"
  "closed stderr|0|same|final accounted|close2|${HOSTILE} streams"
  "5 ms|0|same|peak resident: +[0-9]+ bytes \\([23][0-9]\\.[0-9] MiB\\)|plain|${HOSTILE} brief")
if(thread)
  list(APPEND rows "tsan|2|differs|built with ThreadSanitizer|plain|${thread}")
endif()
if(address)
  list(APPEND rows "asan|2|differs|built with AddressSanitizer|plain|${address}")
endif()

execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
set(failures "")
foreach(row IN LISTS rows)
  string(REPLACE "|" ";" fields "${row}")
  list(POP_FRONT fields name status same pattern how command)
  separate_arguments(command)
  set(report ${OUT}/hostile_report.txt)
  set(csv ${OUT}/hostile_timeline.csv)
  file(REMOVE ${report} ${csv})
  set(tool ${RUN} --report ${report} --csv ${csv} --)
  set(plain "")
  if(how STREQUAL "noptrace" AND uid EQUAL 0)
    set(tool setpriv --bounding-set=-sys_ptrace --inh-caps=-sys_ptrace ${tool})
  elseif(how STREQUAL "sites")
    set(tool ${RUN} --sites ${OUT}/hostile_sites.folded --report ${report} --csv ${csv} --)
  elseif(how MATCHES "^close([0-2])$")
    set(closed sh -c "exec \"\$0\" \"\$@\" ${CMAKE_MATCH_1}>&-")
    set(tool ${closed} ${tool})
    set(plain ${closed})
  elseif(how STREQUAL "interrupt")
    set(tool timeout --preserve-status -s TERM 0.5 ${tool})
    set(plain timeout --preserve-status -s TERM 0.5 ${plain})
  endif()
  execute_process(COMMAND ${plain} ${command} OUTPUT_VARIABLE plain ERROR_VARIABLE plain
                  RESULT_VARIABLE plain_status)
  # CMake tells a death by signal without its number; the tool gives 128 + N.
  if(NOT plain_status MATCHES "^[0-9]+$" AND status GREATER 128)
    set(plain_status ${status})
  endif()
  execute_process(COMMAND ${tool} ${command} OUTPUT_VARIABLE output ERROR_VARIABLE output
                  RESULT_VARIABLE rc)
  set(summary "")
  if(EXISTS ${report})
    file(READ ${report} summary)
  endif()
  # The summary goes to the report file; the tool's own refusals to standard error.
  set(told "${summary}${output}")
  string(REGEX REPLACE "\n" " " flat "${told}")
  set(why "")
  if(NOT rc EQUAL status)
    string(APPEND why " status ${rc}, ${status} expected;")
  endif()
  if(same STREQUAL "same" AND (NOT output STREQUAL plain OR NOT plain_status EQUAL status))
    string(APPEND why " output or status differs from the plain run (${plain_status}: '${plain}');")
  endif()
  if(NOT flat MATCHES "${pattern}")
    string(APPEND why " no '${pattern}' in the summary;")
  endif()
  # The end of the run is a row at the wall time, with the final accounted total when the
  # summary has one; nothing of the tool's comes before the header.
  if(EXISTS ${csv})
    file(STRINGS ${csv} lines)
    list(FILTER lines EXCLUDE REGEX "^#")
    list(GET lines 0 header)
    list(GET lines -1 end_row)
    string(REGEX MATCH "wall time: +([0-9.]+) s" wall "${summary}")
    set(wall "${CMAKE_MATCH_1}")
    set(final "")
    if(summary MATCHES "final accounted: +([0-9]+) byte")
      set(final ${CMAKE_MATCH_1})
    elseif(summary MATCHES "accounted: +nothing: no allocation")
      set(final 0)
    endif()
    if(NOT header STREQUAL "time_s,accounted_bytes,resident_bytes"
       OR NOT end_row STREQUAL "${wall},${final},")
      string(APPEND why " CSV from '${header}' to '${end_row}', not from its header to its end;")
    endif()
  endif()
  if(how STREQUAL "interrupt")
    set(last "")
    if(EXISTS ${csv})
      file(STRINGS ${csv} rows_read)
      list(GET rows_read -1 last)
    endif()
    if(NOT last MATCHES "^# interrupted")
      string(APPEND why " the CSV does not end with the interruption ('${last}');")
    endif()
  endif()
  if(why)
    string(APPEND failures "\n${name}:${why}\n  output: '${output}'\n${summary}")
  endif()
endforeach()
if(failures)
  message(FATAL_ERROR "memmgr-run on hostile programs:${failures}")
endif()
