# SPDX-License-Identifier: Apache-2.0
# memmgr-run --sites on programs whose call sites are known (known_sites.cpp) and, where built,
# on one that forks and one that execs (hostile.cpp): the shares of the peak at the default
# interval, what held the budget at a memory-full event, that only the measured process is
# sampled, and that nothing grows when more is sampled than can be held. Every failing
# row is reported, then the test fails.
#   cmake -DRUN=... -DKNOWN=... [-DHOSTILE=... -DSTATIC=...] [-DEMULATOR=...] -DOUT=...
#         -P run_sites.cmake
cmake_minimum_required(VERSION 3.25)
set(failures "")
# Under an emulator the tool must exec the target's programs: in a binfmt_misc of a namespace
# of the test's own, the kernel hands them to the emulator; where none can be made, this skips.
set(private "")
separate_arguments(emulator NATIVE_COMMAND "${EMULATOR}")
if(emulator)
  set(environment ${emulator})
  list(POP_BACK environment qemu)
  find_program(interpreter ${qemu} REQUIRED)
  set(private ${CMAKE_CURRENT_LIST_DIR}/private_binfmt.sh ${interpreter})
  execute_process(COMMAND ${private} ${environment} ${RUN} --version
                  RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
  if(NOT rc EQUAL 0)
    message("sites test skipped: no binfmt_misc of a namespace of its own here (${rc})")
    return()
  endif()
endif()

# measure(<name> <status> <tool options and program...>): runs the tool and sets `summary` and
# `folded` (the file's lines, with ';' between frames turned into '|' so that CMake keeps each
# line one list element).
macro(measure name status)
  set(row ${name})
  set(report ${OUT}/sites_${name}.txt)
  set(sites ${OUT}/sites_${name}.folded)
  file(REMOVE ${report} ${sites})
  execute_process(COMMAND ${private} ${emulator} ${RUN} --report ${report} --sites ${sites} ${ARGN}
                  RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE output)
  set(summary "")
  set(folded "")
  if(EXISTS ${report})
    file(READ ${report} summary)
  endif()
  if(EXISTS ${sites})
    file(READ ${sites} folded)
    string(REPLACE ";" "|" folded "${folded}")
    string(REPLACE "\n" ";" folded "${folded}")
  endif()
  if(NOT rc EQUAL ${status})
    fail("status ${rc}, ${status} expected (${output})")
  endif()
endmacro()

function(fail why)
  set(failures "${failures}\n${row}: ${why}" PARENT_SCOPE)
endfunction()

# bytes(<out> <snapshot> [<frame regex>]): the estimated bytes of the snapshot's lines (those
# with a frame matching the regex).
function(bytes out snapshot)
  set(sum 0)
  foreach(line IN LISTS folded)
    if(line MATCHES "^${snapshot}\\|" AND (NOT ARGN OR line MATCHES "${ARGN}")
       AND line MATCHES " ([0-9]+)$")
      math(EXPR sum "${sum} + ${CMAKE_MATCH_1}")
    endif()
  endforeach()
  set(${out} ${sum} PARENT_SCOPE)
endfunction()

# share(<snapshot> <frame regex> <low> <high>): the sites' share of the snapshot, in per mille,
# lies within [low, high].
function(share snapshot regex low high)
  bytes(total ${snapshot})
  bytes(part ${snapshot} "${regex}")
  if(total EQUAL 0)
    set(failures "${failures}\n${row}: nothing in ${snapshot}" PARENT_SCOPE)
    return()
  endif()
  math(EXPR permille "1000 * ${part} / ${total}")
  if(permille LESS low OR permille GREATER high)
    set(failures "${failures}\n${row}: ${regex} holds ${permille}‰ of ${snapshot}, \
${low}-${high}‰ expected" PARENT_SCOPE)
  endif()
endfunction()

# snapshots(<out> <prefix>): how many distinct snapshots named <prefix>… the stacks hold.
function(snapshots out prefix)
  set(names "")
  foreach(line IN LISTS folded)
    if(line MATCHES "^(${prefix}[^|]*)\\|")
      list(APPEND names ${CMAKE_MATCH_1})
    endif()
  endforeach()
  list(REMOVE_DUPLICATES names)
  list(LENGTH names count)
  set(${out} ${count} PARENT_SCOPE)
endfunction()

function(summary_lacks pattern)
  string(REGEX REPLACE "\n" " " flat "${summary}")
  if(flat MATCHES "${pattern}")
    set(failures "${failures}\n${row}: '${pattern}' in the summary" PARENT_SCOPE)
  endif()
endfunction()

function(summary_has pattern)
  string(REGEX REPLACE "\n" " " flat "${summary}")
  if(NOT flat MATCHES "${pattern}")
    set(failures "${failures}\n${row}: no '${pattern}' in the summary" PARENT_SCOPE)
  endif()
endfunction()

# 50/30/20 % of a 24 MiB peak in 64 KiB blocks (half through each of two callers that leave the
# stack pointer alike), blocks of 296 bytes on a second thread, and one block; 256 MiB churned
# and released before. At the default interval each share is within 5 points (the small blocks'
# estimate has a standard deviation of about 1.2 points).
measure(shares 0 -- ${KNOWN} shares)
share(peak HoldInLargeBlocks 450 550)
share(peak HoldThroughFirst 200 300)
share(peak HoldThroughSecond 200 300)
share(peak HoldInSmallBlocks 250 350)
share(peak HoldInOneBlock 150 250)
share(peak ChurnAndRelease 0 30)
share(exit HoldInSmallBlocks 950 1000)
summary_has("top sites at peak.*HoldInLargeBlocks +[^ ]*known_sites.cpp:[0-9]+")
summary_has("still accounted at exit.*HoldInSmallBlocks")

# Refused without over-allocation: the default handler ends the program with status 1. What
# held the budget then was the large blocks; the refused request never existed.
measure(memory-full 1 --limit 8M -- ${KNOWN} memory-full)
share(memory-full-1 HoldInLargeBlocks 990 1000)
share(memory-full-1 RequestTooMuch 0 0)
summary_has("at memory-full.*HoldInLargeBlocks")
summary_has("memory-full events: +1; the library's default handler ended the program")

# The program's own handler releases everything: the snapshot is the one event's, taken before
# the handler ran, whether the handler was set, assigned, set again as read back, or set from
# C; and it is not the library's.
foreach(how set assign reinstall c-set)
  measure(memory-full-${how} 1 --limit 8M -- ${KNOWN} memory-full-handler ${how})
  snapshots(events memory-full)
  if(NOT events EQUAL 1)
    fail("${events} memory-full snapshots, one expected")
  endif()
  share(memory-full-1 HoldInLargeBlocks 990 1000)
  bytes(left exit HoldInLargeBlocks)
  if(NOT left EQUAL 0)
    fail("${left} bytes of HoldInLargeBlocks at exit, the handler released them")
  endif()
  summary_lacks("default handler")
endforeach()

# An image that starts after an exec reports alone: the image before it had a memory-full
# event and a larger peak, neither of which is the final image's. (Under an emulator the
# environment a process started with is the emulator's.)
if(NOT EMULATOR)
  measure(exec-image 0 --limit 8M -- ${KNOWN} exec)
  snapshots(events memory-full)
  if(NOT events EQUAL 0)
    fail("${events} memory-full snapshots of the image before the exec")
  endif()
  share(peak HoldAfterExec 990 1000)
  bytes(before peak HoldInLargeBlocks)
  if(NOT before EQUAL 0)
    fail("the peak holds ${before} bytes of the image before the exec")
  endif()
endif()

# Every block sampled: more than the library holds sampled at once. The excess goes unsampled,
# and nothing grows.
measure(crowd 0 --sample-interval 1 -- ${KNOWN} crowd)
if(summary MATCHES "([0-9]+) samples taken" AND CMAKE_MATCH_1 GREATER 16384)
  fail("${CMAKE_MATCH_1} samples of blocks all still held, at most 16384 expected")
endif()
summary_has("top sites at peak.*HoldInACrowd")

# A frame without unwind information ends the stack: the sites are still named from it, and the
# program ends as it would.
measure(no-unwind-info 0 -- ${KNOWN} no-unwind-info)
share(exit HoldWithoutUnwindInfo 990 1000)
foreach(line IN LISTS folded)
  if(line MATCHES "HoldWithoutUnwindInfo" AND NOT line MATCHES "^[a-z]+\\|HoldWithoutUnwindInfo ")
    fail("a frame past the one without unwind information: ${line}")
  endif()
endforeach()

if(HOSTILE)
  # The forked child's 64 MiB are not the program's: only the parent's 4 MiB are sampled.
  measure(fork 0 -- ${HOSTILE} fork)
  bytes(peak peak)
  if(peak LESS 4000000 OR peak GREATER 5000000)
    fail("the peak holds ${peak} bytes, the parent's 4 MiB expected")
  endif()
  # Replaced by a program the sampler cannot enter: the last image that ran it is the one
  # reported, its last snapshot taken just before the exec.
  measure(exec-static 0 -- ${KNOWN} exec-into ${STATIC})
  share(exit HoldInLargeBlocks 990 1000)
endif()

if(failures)
  message(FATAL_ERROR "memmgr-run --sites:${failures}")
endif()
