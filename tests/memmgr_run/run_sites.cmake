# SPDX-License-Identifier: Apache-2.0
# memmgr-run --sites on programs whose call sites are known (known_sites.cpp) and, where built,
# on one that forks and one that execs (hostile.cpp): the shares of the peak at the default
# interval, what held the budget at a memory-full event, that only the measured process is
# sampled, and that nothing grows when more is sampled than can be held. Every failing
# row is reported, then the test fails.
#   cmake -DRUN=... -DKNOWN=... [-DHOSTILE=... -DSTATIC=...] [-DEMULATOR=...] -DOUT=...
#         -P run_sites.cmake
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/checks.cmake)
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
  read_if(summary ${report})
  read_if(folded ${sites})
  string(REPLACE ";" "|" folded "${folded}")
  string(REPLACE "\n" ";" folded "${folded}")
  if(NOT rc EQUAL ${status})
    fail("status ${rc}, ${status} expected (${output})")
  endif()
endmacro()

# bytes(<out> <snapshot> <frame regex>): the estimated bytes of the snapshot's lines with a
# frame matching the regex.
function(bytes out snapshot regex)
  set(sum 0)
  foreach(line IN LISTS folded)
    if(line MATCHES "^${snapshot}\\|" AND line MATCHES "${regex}" AND line MATCHES " ([0-9]+)$")
      math(EXPR sum "${sum} + ${CMAKE_MATCH_1}")
    endif()
  endforeach()
  set(${out} ${sum} PARENT_SCOPE)
endfunction()

# share(<snapshot> <frame regex> <low> <high>): the sites' share of the snapshot, in per mille,
# lies within [low, high].
function(share snapshot regex low high)
  bytes(total ${snapshot} .)
  bytes(part ${snapshot} "${regex}")
  if(total EQUAL 0)
    fail("nothing in ${snapshot}")
    return()
  endif()
  math(EXPR permille "1000 * ${part} / ${total}")
  if(permille LESS low OR permille GREATER high)
    fail("${regex} holds ${permille}‰ of ${snapshot}, ${low}-${high}‰ expected")
  endif()
endfunction()

# holds(<snapshot> <frame regex> <low> <high>): the sites' bytes in the snapshot lie within
# [low, high]; a snapshot that was never taken holds 0.
function(holds snapshot regex low high)
  bytes(held ${snapshot} "${regex}")
  if(held LESS low OR held GREATER high)
    fail("${regex} holds ${held} bytes of ${snapshot}, ${low}-${high} expected")
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
expect(has "top sites at peak.*HoldInLargeBlocks +[^ ]*known_sites.cpp:[0-9]+" "${summary}")
expect(has "still accounted at exit.*HoldInSmallBlocks" "${summary}")

# Refused without over-allocation: the default handler ends the program with status 1. What
# held the budget then was the large blocks; the refused request never existed.
measure(memory-full 1 --limit 8M -- ${KNOWN} memory-full)
share(memory-full-1 HoldInLargeBlocks 990 1000)
share(memory-full-1 RequestTooMuch 0 0)
expect(has "at memory-full.*HoldInLargeBlocks" "${summary}")
expect(has "memory-full events: +1; the library's default handler ended the program" "${summary}")

# The program's own handler releases everything: the snapshot is the one event's, taken before
# the handler ran, whether the handler was set, assigned, set again as read back, or set from
# C; and it is not the library's.
foreach(how set assign reinstall c-set)
  measure(memory-full-${how} 1 --limit 8M -- ${KNOWN} memory-full-handler ${how})
  holds(memory-full-2 . 0 0)  # the one event's snapshot alone
  share(memory-full-1 HoldInLargeBlocks 990 1000)
  holds(exit HoldInLargeBlocks 0 0)  # the handler released them
  expect(lacks "default handler" "${summary}")
endforeach()

# An image that starts after an exec reports alone: the image before it had a memory-full
# event and a larger peak, neither of which is the final image's. (Under an emulator the
# environment a process started with is the emulator's.)
if(NOT EMULATOR)
  measure(exec-image 0 --limit 8M -- ${KNOWN} exec)
  holds(memory-full-1 . 0 0)
  share(peak HoldAfterExec 990 1000)
  holds(peak HoldInLargeBlocks 0 0)
endif()

# Every block sampled: more than the library holds sampled at once. The excess goes unsampled,
# and nothing grows.
measure(crowd 0 --sample-interval 1 -- ${KNOWN} crowd)
if(summary MATCHES "([0-9]+) samples taken" AND CMAKE_MATCH_1 GREATER 16384)
  fail("${CMAKE_MATCH_1} samples of blocks all still held, at most 16384 expected")
endif()
expect(has "top sites at peak.*HoldInACrowd" "${summary}")

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
  holds(peak . 4000000 5000000)
  # Replaced by a program the sampler cannot enter: the last image that ran it is the one
  # reported, its last snapshot taken just before the exec.
  measure(exec-static 0 -- ${KNOWN} exec-into ${STATIC})
  share(exit HoldInLargeBlocks 990 1000)
endif()

finish("memmgr-run --sites")
