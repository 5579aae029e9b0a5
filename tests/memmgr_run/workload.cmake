# SPDX-License-Identifier: Apache-2.0
# Allocation-heavy work for the preloaded program: strings, hashing, list building and sorting.
# Its output is compared between a plain run and one under memmgr-run.
set(digests "")
foreach(i RANGE 1 4000)
  math(EXPR v "(${i} * 7919) % 10007")
  string(SHA1 digest "entry-${v}")
  list(APPEND digests "${digest}")
endforeach()
list(SORT digests)
list(REMOVE_DUPLICATES digests)
list(LENGTH digests count)
string(JOIN "," joined ${digests})
string(SHA256 summary "${joined}")
string(TOUPPER "${summary}" summary)
message("${count} ${summary}")
