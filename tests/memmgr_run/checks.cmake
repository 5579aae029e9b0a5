# SPDX-License-Identifier: Apache-2.0
# What the run_*.cmake scripts share: every failing row noted (under the name in `row`) and
# reported together at the end, so that one run shows all that broke; a run's files read
# whether or not it left them; and the timeline's shape, which every run must keep.
set_property(GLOBAL PROPERTY failures "")

function(fail why)
  set_property(GLOBAL APPEND_STRING PROPERTY failures "\n${row}: ${why}")
endfunction()

# read_if(<out> <file>): the file's text, empty when the run left none.
function(read_if out file)
  set(text "")
  if(EXISTS ${file})
    file(READ ${file} text)
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# expect(has|lacks <pattern> <text>): the text, read as one line, holds the pattern, or not.
function(expect what pattern text)
  string(REGEX REPLACE "\n" " " flat "${text}")
  if(what STREQUAL "has" AND NOT flat MATCHES "${pattern}")
    fail("no '${pattern}' in the summary")
  elseif(what STREQUAL "lacks" AND flat MATCHES "${pattern}")
    fail("'${pattern}' in the summary")
  endif()
endfunction()

# timeline_end(<csv> <summary>): the CSV starts with its header, nothing of the tool's before
# it, and ends with a row at the wall time holding the final accounted total and no resident
# size (the memory is gone). Without a final total in the summary (nothing accounted, or no
# exit record) the row may hold 0 or nothing.
function(timeline_end csv summary)
  file(STRINGS ${csv} lines)
  list(FILTER lines EXCLUDE REGEX "^#")
  list(GET lines 0 header)
  list(GET lines -1 end_row)
  string(REGEX MATCH "wall time: +([0-9]+)\\.([0-9]+) s" wall "${summary}")
  set(end "${CMAKE_MATCH_1}\\.${CMAKE_MATCH_2},[0-9]*,")
  if(summary MATCHES "final accounted: +([0-9]+) byte")
    string(REPLACE "[0-9]*" "${CMAKE_MATCH_1}" end "${end}")
  endif()
  if(NOT header STREQUAL "time_s,accounted_bytes,resident_bytes" OR NOT end_row MATCHES "^${end}$")
    fail("CSV from '${header}' to '${end_row}', not from its header to its end")
  endif()
endfunction()

function(finish title)
  get_property(failures GLOBAL PROPERTY failures)
  if(failures)
    message(FATAL_ERROR "${title}:${failures}")
  endif()
endfunction()
