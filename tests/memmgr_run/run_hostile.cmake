# SPDX-License-Identifier: Apache-2.0
# The table of hostile programs: each row runs hostile.cpp in one mode plainly and under
# memmgr-run, and checks the status under the tool, that the program's output (stdout and
# stderr) and status are what they are without the tool ("same"), and a pattern the summary
# must hold. Some rows run a wrapper (env, nice) or a script written here into OUT in front of
# hostile.cpp, or its builds that are static or bring their own operator new. Every failing row
# is reported, then the test fails.
#   cmake -DRUN=... -DHOSTILE=... -DSTATIC=... -DOWN_NEW=... -DEARLY=... -DSITES=0|1 [-Dthread=...]
#         [-Daddress=...] -DOUT=... -P run_hostile.cmake
# (SITES=0: a tool built without --sites, whose "sites" rows are left out.)
# "<name>|<status under the tool>|<same or differs>|<summary pattern>|<how>|<program and args>
# [|<pattern neither the summary nor the sites file may hold>]"
# where <how>, optionally after tool options ("--interval 60000 plain", which puts the tool's
# first reading past the program's end), is "plain", "noptrace" (the tool without CAP_SYS_PTRACE, as a user is; before another how),
# "interrupt" (timeout sends SIGTERM to the tool, then to its group), "sites"
# (with --sites), "parent-ignores" (run plainly under a shell that ignores SIGUSR1 and SIGHUP,
# which the program sends its parent), "page" (the program writes over the page it shares with the tool, with names
# that run past their fields: no name in the summary is longer than its field, and every time
# is under 10 s), "closeN" (the program, plain and under the tool, started with descriptor N
# closed) or "steps:STEPS" (signal_steps.sh runs the tool, or the program plainly, in a session
# of its own and signals it STEPS; ${ready} is the file the program creates once it is ready).
# Every CSV must start with its header and end with a row at the program's end; rows that
# signal the tool check that the CSV ends with what became of the signals. (A pattern stands
# "." for the summary's ";", which would split the row.)
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/checks.cmake)
execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
set(ready ${OUT}/hostile_ready)
set(report ${OUT}/hostile_report.txt)
set(csv ${OUT}/hostile_timeline.csv)
# A script without "#!", which execvp and the shells run with /bin/sh.
file(WRITE ${OUT}/noshebang "echo run by the shell\n")
# A program whose path is over 600 characters long: the summary's first line holds it whole.
string(REPEAT "d" 200 long_name)
set(long_path ${OUT}/${long_name}/${long_name}/${long_name}/hostile)
file(MAKE_DIRECTORY ${OUT}/${long_name}/${long_name}/${long_name})
file(CREATE_LINK ${HOSTILE} ${long_path} SYMBOLIC)
# A script whose interpreter is static, and the ELF header of another word size, machine and
# file type: no loader here runs it, the kernel refuses it, and /bin/sh takes it for a script
# whose first line is no command.
file(WRITE ${OUT}/hostile_static_script "#!${STATIC} env\n")
string(REPEAT " " 64 header)
execute_process(COMMAND printf "\\177ELF\\001\\001\\001${header}\\necho run by the shell\\n"
                OUTPUT_FILE ${OUT}/hostile_foreign)
# Scripts: one whose children must run plainly (nothing of the tool's in what they inherit),
# for bash, which brings its own getenv and setenv, and for sh; one that ends in an exec. dash
# ends with _exit, so no exit record counts its children: only bash's count is checked.
set(show_children "tr '\\0' '\\n' < /proc/self/environ | grep -E '^(LD_PRELOAD|MEMMGR)'\n${HOSTILE} env child\nexit 0\n")
file(WRITE ${OUT}/hostile_children.bash "#!/bin/bash\n${show_children}")
file(WRITE ${OUT}/hostile_children.sh "#!/bin/sh\n${show_children}")
file(WRITE ${OUT}/hostile_launcher.sh "#!/bin/sh\necho launching\nexec ${HOSTILE} closefds\n")
# Signals its parent, which, run plainly, ignores them ("parent-ignores"); the tool must not
# send them back to it.
file(WRITE ${OUT}/hostile_tells_parent.sh "#!/bin/sh\nkill -USR1 $PPID\nkill -HUP $PPID\necho alive\n")
file(CHMOD ${OUT}/noshebang ${OUT}/hostile_static_script ${OUT}/hostile_foreign
     ${OUT}/hostile_children.bash ${OUT}/hostile_children.sh ${OUT}/hostile_launcher.sh
     ${OUT}/hostile_tells_parent.sh PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
# A FIFO with no writer, which exec refuses and whose opening for reading would wait for one.
file(REMOVE ${OUT}/hostile_fifo)
execute_process(COMMAND mkfifo -m 700 ${OUT}/hostile_fifo)
set(steps sh ${CMAKE_CURRENT_LIST_DIR}/signal_steps.sh ${ready})
get_filename_component(bin ${STATIC} DIRECTORY)
set(rows
  "fork|0|same|peak resident: +[0-9]+ bytes \\([67][0-9]\\.[0-9] MiB\\), the kernel's high-water mark at its end \\(wait4, which counts any children it waited for\\)|plain|${HOSTILE} fork"
  "exec|7|same|ran: +memmgr_run_hostile → sh |plain|${HOSTILE} exec"
  "closefds|0|same|peak accounted: +[0-9]+ bytes \\(30\\.[0-9] MiB\\)|plain|${HOSTILE} closefds"
  "seccomp kill|0|same|final accounted|plain|${HOSTILE} seccomp-kill"
  "seccomp errno|0|same|final accounted|plain|${HOSTILE} seccomp-errno"
  "setuid|0|same|peak accounted: +[0-9]+ bytes \\(8\\.[0-9] MiB\\)|plain|${HOSTILE} setuid"
  "unshare|0|same|final accounted|plain|${HOSTILE} unshare"
  "main thread exits|5|same|peak accounted: +[0-9]+ bytes \\(6\\.[0-9] MiB\\)|plain|${HOSTILE} sysexit"
  "signal|143|same|ended without running its exit handlers|plain|${HOSTILE} signal"
  "bad_alloc|1|differs|memory-full events: +1. the library's default handler|plain|${HOSTILE} badalloc"
  "non-dumpable|0|same|refused.*peak accounted: +[0-9]+ bytes \\(4\\.[0-9] MiB\\)|noptrace steps:ready,send USR1|${HOSTILE} nondumpable ${ready}"
  "children plain|0|same|accounted: +nothing: no allocation|plain|${HOSTILE} env"
  # The kernel's figure holds the image of the tool's that the program was exec'd from.
  "static|0|same|peak resident: +[0-9]+ bytes \\([0-9.]+ MiB\\), at most: .*static: nothing accounted|plain|${STATIC} env"
  "dispositions|0|same|final accounted|plain|${HOSTILE} dispositions"
  "signals to its parent|0|same|signals: +SIG[A-Z0-9]+ sent to memmgr-run by the program or a process it started, not sent back. SIG[A-Z0-9]+ sent to memmgr-run by the program|parent-ignores|${OUT}/hostile_tells_parent.sh"
  "interrupted|143|same|signals: +SIGTERM |interrupt|${HOSTILE} sleep"
  "closefds sites|0|same|top sites at peak.* main|sites|${HOSTILE} closefds"
  "seccomp kill sites|0|same|top sites at peak.* main|sites|${HOSTILE} seccomp-kill"
  "main thread exits sites|5|same|top sites at peak.* main|sites|${HOSTILE} sysexit"
  "signal sites|143|same|top sites at peak.* main|sites|${HOSTILE} signal"
  "bash children plain|0|same|accounted: +nothing.*children started: +3, which ran unmeasured|plain|${OUT}/hostile_children.bash"
  "sh children plain|0|same|accounted: +nothing|plain|${OUT}/hostile_children.sh"
  "script execs|0|same|ran: +hostile_launcher.sh → memmgr_run_hostile .*peak accounted: +[0-9]+ bytes \\(30\\.[0-9] MiB\\)|plain|${OUT}/hostile_launcher.sh"
  "perl execs|0|same|ran: +perl → memmgr_run_hostile .*peak accounted: +[0-9]+ bytes \\(30\\.[0-9] MiB\\)|plain|perl -e exec(@ARGV) ${HOSTILE} closefds"
  "exec static|0|same|ran: +env → memmgr_run_hostile_static \\(unmeasured: statically linked|plain|env ${STATIC} env"
  # PROGRAM and each exec are judged alike: a script is what its interpreter is.
  "script static|0|same|static: nothing accounted|plain|${OUT}/hostile_static_script"
  "exec static on PATH|0|same|ran: +env → memmgr_run_hostile_static \\(unmeasured: statically linked|plain|env PATH=${bin}:/usr/bin:/bin memmgr_run_hostile_static env"
  "foreign|0|differs|foreign: nothing accounted|plain|${OUT}/hostile_foreign"
  "fifo|127|differs|cannot run .*Permission denied|plain|${OUT}/hostile_fifo"
  "exec fifo|126|same|exit status: +126|plain|env ${OUT}/hostile_fifo"
  "exec foreign|0|same|ran: +env → hostile_foreign \\(unmeasured: built for another machine|plain|env ${OUT}/hostile_foreign"
  # An exec's image gets the user's LD_PRELOAD after the tool's, and its children the user's
  # alone; never VOQ_MAXIMUM_MEMORY, which would set a limit the run's could not replace.
  "user's preload past an exec|0|same|ran: +env → memmgr_run_hostile|plain|env LD_PRELOAD=libm.so.6 ${HOSTILE} env"
  "nice and env exec, with the caller's limit|0|same|ran: +nice → env → memmgr_run_hostile .*peak accounted: +[0-9]+ bytes \\(30\\.[0-9] MiB\\)|--limit 64M plain|nice -n 5 env MEMMGR_HOSTILE=1 VOQ_MAXIMUM_MEMORY=4096 ${HOSTILE} closefds"
  "children counted|0|same|children started: +5, which ran unmeasured|plain|${HOSTILE} children"
  "own new|0|same|accounted: +nothing: the program defines its own operator new|plain|${OWN_NEW} closefds"
  # A library's constructor, before the run starts, arms the signal and climbs past it: told once.
  "pressure armed early|0|same|early pressure: 1 calls|plain|${EARLY}"
  "page scribbled|0|same|peak accounted: +[0-9]+ bytes \\(12\\.[0-9] MiB\\)|page|${HOSTILE} scribble"
  "page scribbled at the end|0|same|wrote over the page it shares with memmgr-run|page|${HOSTILE} scribble exit"
  "page forged|0|same|ran: +memmgr_run_hostile → … → A+\\.\\.\\. \\(unmeasured.*replaced itself with A+ at 0\\.000 s.*peak accounted: +1048576 bytes|page|${HOSTILE} scribble forge"
  "memory-full with no event|0|same|garbage-collect hook calls: +[1-9][0-9]* +memory-full events: +0 |--limit 16M sites|${HOSTILE} gc-frees|memory-full-[0-9]"
  "descriptors under --sites|0|same|site sampling|sites|${HOSTILE} env"
  "closed stdin|0|same|final accounted|close0|${HOSTILE} streams"
  "closed stdout|0|same|final accounted|close1|${HOSTILE} streams"
  "closed stderr|0|same|final accounted|close2|${HOSTILE} streams"
  "5 ms|0|same|peak resident: +[0-9]+ bytes \\([23][0-9]\\.[0-9] MiB\\)|plain|${HOSTILE} brief"
  "long path|0|same|memmgr-run: ${long_path}  +wall time|plain|${long_path} env"
  # The tool is stopped while the group's SIGTERM reaches the program, so that a second one
  # from the tool would come apart from the first and be counted; a SIGTERM to the tool alone
  # afterwards must still be relayed.
  "group SIGTERM once|0|same|signals: +SIGTERM sent to the process group reached the program directly. SIGCONT relayed once. SIGTERM relayed once. SIGWINCH relayed once|steps:ready,tool STOP,group TERM,got 1,send CONT,got 2,send TERM,got 3,send WINCH|${HOSTILE} signals ${ready}"
  "signals to the tool|0|same|signals: +SIGINT relayed once. SIGQUIT relayed once. SIGUSR1 relayed once. SIGALRM relayed once. SIGTERM relayed once. SIGWINCH relayed once|steps:ready,send INT,send QUIT,send USR1,send ALRM,send TERM,send WINCH|${HOSTILE} signals ${ready}"
  "stops itself|0|same|signals: +SIGSTOP stopped the program, and memmgr-run stopped with it. SIGCONT relayed once|steps:stopped,send CONT|${HOSTILE} selfstop"
  "group left|0|differs|signals: +SIGINT sent to the process group, which the program had left: memmgr-run got it, the program did not. SIGWINCH relayed once|steps:ready,group INT,send WINCH|${HOSTILE} signals ${ready} own-group"
  "never orphaned|140|same|signals: +SIGUSR2 relayed once.*ended without running its exit handlers|steps:ready,send USR2|${HOSTILE} signals ${ready}"
  # Over before the first reading, whatever the timing: the companion's reading at its start,
  # and the tool's own just before it relays a signal, are the figures. The tool's reading as
  # the program starts may come before or after the signal program holds its 4 MiB: "nothing by
  # then" or the 4 MiB (a row's pattern cannot hold an alternation).
  "sh ends before a reading|0|same|ended without running its exit handlers.*accounted: +nothing by then|--interval 60000 plain|${OUT}/hostile_children.sh"
  "signal before a reading|143|same|ended without running its exit handlers: the figures below are from the last reading, at [0-9.]+ s.*accounted: +[n4]|--interval 60000 plain|${HOSTILE} signal"
  "relayed before a reading|140|same|signals: +SIGUSR2 relayed once.*ended without running its exit handlers.*peak accounted: +[1-9]|--interval 60000 steps:ready,send USR2|${HOSTILE} signals ${ready}"
  "no #! line|0|same|memmgr-run: [^ ]*noshebang|plain|${OUT}/noshebang")
if(thread)
  list(APPEND rows "tsan|2|differs|built with ThreadSanitizer|plain|${thread}")
endif()
if(uid EQUAL 0)
  # Set-user-ID to another user: the loader would preload nothing, so it runs plainly.
  execute_process(COMMAND install -o 65534 -m 4755 ${HOSTILE} ${OUT}/hostile_setid)
  list(APPEND rows "set-ID|0|same|set-ID: nothing accounted|plain|${OUT}/hostile_setid env"
    "exec set-ID|0|same|ran: +env → hostile_setid \\(unmeasured: set-ID|plain|env ${OUT}/hostile_setid env")
endif()
if(address)
  list(APPEND rows "asan|2|differs|built with AddressSanitizer|plain|${address}"
    # g++ links the sanitizer's runtime as a shared object, which must come before any preload;
    # clang links it into the program, whose own new then stands before the library's. Either
    # way that exec is not followed, as PROGRAM would be refused, and it runs as without the tool.
    "exec asan|0|same|ran: +env → memmgr_run_address_sanitized \\(unmeasured: built with a sanitizer|plain|env ${address}")
endif()


foreach(fields IN LISTS rows)
  string(REPLACE "|" ";" fields "${fields}")
  list(POP_FRONT fields row status same pattern how command absent)
  if(how MATCHES "sites$" AND NOT SITES)
    continue()
  endif()
  separate_arguments(command)
  file(REMOVE ${report} ${csv})
  string(REGEX MATCH "^(--[a-z-]+ [^ ]+ )+" options "${how}")
  string(REGEX REPLACE "^(--[a-z-]+ [^ ]+ )+" "" how "${how}")
  separate_arguments(options)
  set(tool ${RUN} ${options} --report ${report} --csv ${csv} --)
  set(plain "")
  if(how MATCHES "^noptrace" AND uid EQUAL 0)
    set(tool setpriv --bounding-set=-sys_ptrace --inh-caps=-sys_ptrace ${tool})
  endif()
  string(REGEX REPLACE "^noptrace ?" "" how "${how}")
  if(how STREQUAL "sites")
    file(REMOVE ${OUT}/hostile_sites.folded)
    list(INSERT tool 1 --sites ${OUT}/hostile_sites.folded)
  elseif(how MATCHES "^close([0-2])$")
    set(closed sh -c "exec \"\$0\" \"\$@\" ${CMAKE_MATCH_1}>&-")
    set(tool ${closed} ${tool})
    set(plain ${closed})
  elseif(how STREQUAL "parent-ignores")
    # Lines, not ";", which would split the list.
    set(plain sh -c "trap '' USR1 HUP\n\"\$0\" \"\$@\"\nexit \$?")
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
  get_property(before GLOBAL PROPERTY failures)
  read_if(summary ${report})
  # The summary goes to the report file; the tool's own refusals to standard error.
  set(told "${summary}${output}")
  if(NOT rc EQUAL status)
    fail("status ${rc}, ${status} expected")
  endif()
  if(same STREQUAL "same" AND (NOT output STREQUAL plain OR NOT plain_status EQUAL status))
    fail("output or status differs from the plain run (${plain_status}: '${plain}')")
  endif()
  expect(has "${pattern}" "${told}")
  if(how STREQUAL "page")
    string(REPEAT "A" 201 overlong)
    # No name read past its field, and no time of 10 s or more.
    expect(lacks "${overlong}" "${told}")
    expect(lacks "[0-9][0-9]+\\.[0-9]+ s" "${told}")
  endif()
  if(absent)
    read_if(stacks ${OUT}/hostile_sites.folded)
    expect(lacks "${absent}" "${told}${stacks}")
  endif()
  if(EXISTS ${csv})
    timeline_end(${csv} "${summary}")
  endif()
  # Rows that signal the tool: the CSV ends with what became of the signals.
  read_if(signals ${csv})
  if(how MATCHES "^(interrupt|steps:)" AND NOT signals MATCHES "\n# signals: [^\n]*\n*$")
    fail("the CSV does not end with the signals")
  endif()
  get_property(after GLOBAL PROPERTY failures)
  if(NOT after STREQUAL before)
    fail("output: '${output}'\n${summary}")
  endif()
endforeach()
# Milliseconds, for CMake's integer arithmetic; -1 for no time.
function(milliseconds out seconds)
  set(ms -1)
  if(seconds MATCHES "^([0-9]+)\\.([0-9][0-9][0-9])")
    math(EXPR ms "${CMAKE_MATCH_1} * 1000 + 1${CMAKE_MATCH_2} - 1000")
  endif()
  set(${out} ${ms} PARENT_SCOPE)
endfunction()
# A peak of microseconds between two readings is on the timeline, at its moment: a row holding
# the peak the summary reports, at least as long before the end as the program says it ran
# after the spike (to the millisecond the rounding of the times may cost). Told by the exit
# record when no reading comes after it, and by the readings when the program leaves none. A
# program that arms the pressure signal itself shares it with the tool: it is told once, as the
# library tells, and --pressure and the moment of the peak are still noted.
foreach(spike "60000 exits" "50 killed" "60000 own-pressure")
  separate_arguments(spike)
  list(POP_FRONT spike interval ending)
  set(row "spike (${ending})")
  file(REMOVE ${report} ${csv})
  execute_process(COMMAND ${RUN} --interval ${interval} --pressure 4M --report ${report}
                          --csv ${csv} -- ${HOSTILE} spike ${ending}
                  OUTPUT_VARIABLE output ERROR_VARIABLE output RESULT_VARIABLE rc)
  file(READ ${report} summary)
  string(REGEX MATCH "peak accounted: +([0-9]+) bytes" peak "${summary}")
  set(peak ${CMAKE_MATCH_1})
  # The last row holding the peak.
  file(STRINGS ${csv} at REGEX "^[0-9.]+,${peak},$")
  list(POP_BACK at found)
  string(REGEX REPLACE ",.*" "" found "${found}")
  string(REGEX MATCH "wall time: +([0-9.]+) s" wall "${summary}")
  set(wall ${CMAKE_MATCH_1})
  string(REGEX MATCH "after the spike: ([0-9.]+) s" after "${output}")
  set(after ${CMAKE_MATCH_1})
  milliseconds(wall_ms "${wall}")
  milliseconds(after_ms "${after}")
  milliseconds(found_ms "${found}")
  math(EXPR latest "${wall_ms} - ${after_ms} + 1")
  if(NOT peak OR peak LESS 16777216 OR NOT found OR wall_ms LESS 0 OR after_ms LESS 0
     OR found_ms GREATER latest)
    fail("status ${rc}, peak '${peak}' at '${found}', in a run of ${wall} s whose last ${after} \
s came after it:\n${output}\n${summary}\n")
  endif()
  expect(has "pressure above 4.0 MiB: +first at" "${summary}")
  if(ending STREQUAL "own-pressure" AND NOT (output MATCHES
     "own pressure: 1 calls, threshold 8388608, total ([0-9]+)" AND CMAKE_MATCH_1 GREATER 16777216))
    fail("the program's own pressure signal, told otherwise:\n${output}")
  endif()
endforeach()

finish("memmgr-run on hostile programs")
