#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Measures what memmgr-run adds to the wall time of the program it runs: Debian's cmake running
# an allocation-heavy script (hashing, list building and sorting; about a second), timed with
# the library preloaded by hand and through memmgr-run at its default interval, the two
# alternating run by run (and swapping order each round) so that drift on a shared machine
# hits both alike. Prints the median wall and CPU time of each and their differences.
# With --sites, what --sites adds to memmgr-run: on that cmake run (the allocation rate at its
# most), on apt-cache searching the package lists (an everyday C++ program) and on the
# tile-cache host.
# A sample interval after the rounds measures --sites at that interval instead of the default.
#   benchmarks/measure_run_overhead.sh [--sites] [rounds [interval]]   (default: 21 rounds; release
#   build)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
sites=false
[[ "${1:-}" == --sites ]] && sites=true && shift
rounds="${1:-21}"
interval=(${2:+--sample-interval "$2"})
"$root/scripts/lib/install_deps.sh" build
(cd "$root" && cmake --preset release &&
  cmake --build --preset release --target memmgr-run tile_cache_host) >/dev/null
run="$root/build/release/tools/memmgr-run/memmgr-run"
library="$(find "$root/build/release/src" -maxdepth 1 -name liblib_memmgr.so -print -quit)"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cat >"$work/workload.cmake" <<'CMAKE'
foreach(round RANGE 1 4000)
  set(items "")
  foreach(i RANGE 1 40)
    math(EXPR v "(${round} * 7919 + ${i} * 104729) % 10007")
    string(SHA1 digest "entry-${v}")
    list(APPEND items "${digest}")
  endforeach()
  list(SORT items)
  string(JOIN "," joined ${items})
  string(SHA256 summary "${joined}")
endforeach()
CMAKE
program=(cmake -P "$work/workload.cmake")

# time_ms <command...>: "<wall> <cpu>" of one run in milliseconds, the CPU time being user
# plus system of everything the command ran (the tool and the program both). On a machine that
# is busy with other work the wall time measures the competition as much as the tool; the CPU
# time is what the tool adds to the machine's work.
time_ms() {
  local start=$EPOCHREALTIME cpu
  cpu="$( { TIMEFORMAT='%3U %3S'; time "$@" >/dev/null 2>&1; } 2>&1 )"
  local end=$EPOCHREALTIME
  awk -v wall=$(((${end/./} - ${start/./}) / 1000)) -v cpu="$cpu" \
    'BEGIN { split(cpu, t, " "); printf "%d %d\n", wall, 1000 * (t[1] + t[2]) }'
}
# compare <label A> <label B> <program...>: runs A and B (the functions a and b) alternately.
compare() {
  local label_a="$1" label_b="$2"
  shift 2
  program=("$@")
  a >/dev/null 2>&1 && b >/dev/null 2>&1 # warm the caches
  : >"$work/a" && : >"$work/b"
  for ((i = 0; i < rounds; ++i)); do
    if ((i % 2)); then
      time_ms b >>"$work/b"; time_ms a >>"$work/a"
    else
      time_ms a >>"$work/a"; time_ms b >>"$work/b"
    fi
  done
  echo "${program[*]}:"
  for column in 1 2; do
    local what va vb
    what=$([[ $column == 1 ]] && echo "wall time" || echo "CPU time")
    va="$(median "$work/a" $column)"
    vb="$(median "$work/b" $column)"
    echo "  $what: $label_a ${va} ms, $label_b ${vb} ms (medians of $rounds runs)"
    awk -v a="$va" -v b="$vb" 'BEGIN { printf "    difference: %+.1f%%\n", 100 * (b - a) / a }'
  done
}
# median <file> <column>
median() { sort -n -k "$2" "$1" | awk -v c="$2" '{ v[NR] = $c } END { print v[int((NR + 1) / 2)] }'; }

if $sites; then
  a() { "$run" --report /dev/null -- "${program[@]}"; }
  b() { "$run" --report /dev/null --sites "$work/sites.folded" "${interval[@]}" -- "${program[@]}"; }
  compare "memmgr-run" "memmgr-run --sites" cmake -P "$work/workload.cmake"
  compare "memmgr-run" "memmgr-run --sites" apt-cache search --names-only lib
  compare "memmgr-run" "memmgr-run --sites" "$root/build/release/examples/tile_cache_host"
else
  a() { LD_PRELOAD="$library" "${program[@]}"; }
  b() { "$run" --report /dev/null -- "${program[@]}"; }
  compare "preloaded by hand" "through memmgr-run" cmake -P "$work/workload.cmake"
fi
