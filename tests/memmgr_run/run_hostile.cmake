# The table of hostile programs: each row runs hostile.cpp in one mode plainly and under
# memmgr-run, and checks the status under the tool, that the program's output (stdout and
# stderr) and status are what they are without the tool ("same"), and a pattern the summary
# must hold. Every failing row is reported, then the test fails.
#   cmake -DRUN=... -DHOSTILE=... -DSTATIC=... [-Dthread=...] [-Daddress=...] -DOUT=...
#         -P run_hostile.cmake
# "<name>|<status under the tool>|<same or differs>|<summary pattern>|<how>|<program and args>"
# where <how> is "plain", "noptrace" (the tool without CAP_SYS_PTRACE, as a user is),
# "interrupt" (timeout sends SIGTERM to the tool, then to its group), "sites" (with --sites) or
# "steps:STEPS" (signal_steps.sh runs the tool, or the program plainly, in a session of its
# own and signals it STEPS; ${ready} is the file the program creates once it is ready).
# Rows that signal the tool check that the CSV ends with what became of the signals. (A
# pattern stands "." for the summary's ";", which would split the row.)
cmake_minimum_required(VERSION 3.25)
set(ready ${OUT}/hostile_ready)
# A script without "#!", which execvp and the shells run with /bin/sh.
file(WRITE ${OUT}/noshebang "echo run by the shell\n")
file(CHMOD ${OUT}/noshebang PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
set(steps sh ${CMAKE_CURRENT_LIST_DIR}/signal_steps.sh ${ready})
set(rows
  "fork|0|same|peak resident: +[0-9]+ bytes \\([1-3]?[0-9]\\.[0-9] MiB\\)|plain|${HOSTILE} fork"
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
  "interrupted|143|same|signals: +SIGTERM |interrupt|${HOSTILE} sleep"
  "closefds sites|0|same|top sites at peak.* main|sites|${HOSTILE} closefds"
  "seccomp kill sites|0|same|top sites at peak.* main|sites|${HOSTILE} seccomp-kill"
  "main thread exits sites|5|same|top sites at peak.* main|sites|${HOSTILE} sysexit"
  "signal sites|143|same|top sites at peak.* main|sites|${HOSTILE} signal"
  # The tool is stopped while the group's SIGTERM reaches the program, so that a second one
  # from the tool would come apart from the first and be counted; a SIGTERM to the tool alone
  # afterwards must still be relayed.
  "group SIGTERM once|0|same|signals: +SIGTERM sent to the process group reached the program directly. SIGCONT relayed once. SIGTERM relayed once. SIGWINCH relayed once|steps:ready,tool STOP,group TERM,got 1,send CONT,got 2,send TERM,got 3,send WINCH|${HOSTILE} signals ${ready}"
  "signals to the tool|0|same|signals: +SIGINT relayed once. SIGQUIT relayed once. SIGUSR1 relayed once. SIGALRM relayed once. SIGTERM relayed once. SIGWINCH relayed once|steps:ready,send INT,send QUIT,send USR1,send ALRM,send TERM,send WINCH|${HOSTILE} signals ${ready}"
  "stops itself|0|same|signals: +SIGSTOP stopped the program, and memmgr-run stopped with it. SIGCONT relayed once|steps:stopped,send CONT|${HOSTILE} selfstop"
  "never orphaned|140|same|signals: +SIGUSR2 relayed once.*ended without running its exit handlers|steps:ready,send USR2|${HOSTILE} signals ${ready}"
  "no #! line|0|same|memmgr-run: [^ ]*noshebang|plain|${OUT}/noshebang")
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
  elseif(how STREQUAL "interrupt")
    set(tool timeout --preserve-status -s TERM 0.5 ${tool})
    set(plain timeout --preserve-status -s TERM 0.5 ${plain})
  elseif(how MATCHES "^steps:(.*)")
    set(tool ${steps} "${CMAKE_MATCH_1}" tool ${tool})
    set(plain ${steps} "${CMAKE_MATCH_1}" plain)
  endif()
  execute_process(COMMAND ${plain} ${command} OUTPUT_VARIABLE plain ERROR_VARIABLE plain
                  RESULT_VARIABLE plain_status)
  # CMake tells a death by signal by its name, without the number; the summary gives 128 + N.
  # The tool ends by the signal that ended the program: the same death is the expected status.
  set(plain_death "${plain_status}")
  if(NOT plain_status MATCHES "^[0-9]+$" AND status GREATER 128)
    set(plain_status ${status})
  endif()
  execute_process(COMMAND ${tool} ${command} OUTPUT_VARIABLE output ERROR_VARIABLE output
                  RESULT_VARIABLE rc)
  if(NOT plain_death MATCHES "^[0-9]+$" AND rc STREQUAL plain_death)
    set(rc ${status})
  elseif(NOT plain_death MATCHES "^[0-9]+$" AND rc MATCHES "^[0-9]+$")
    set(rc "${rc}, not the program's death (${plain_death})")
  endif()
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
  if(how MATCHES "^(interrupt|steps:)")
    set(last "")
    if(EXISTS ${csv})
      file(STRINGS ${csv} rows_read)
      list(GET rows_read -1 last)
    endif()
    if(NOT last MATCHES "^# signals: ")
      string(APPEND why " the CSV does not end with the signals ('${last}');")
    endif()
  endif()
  if(why)
    string(APPEND failures "\n${name}:${why}\n  output: '${output}'\n${summary}")
  endif()
endforeach()
if(failures)
  message(FATAL_ERROR "memmgr-run on hostile programs:${failures}")
endif()
