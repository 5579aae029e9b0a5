#!/usr/bin/env bash
# Counts the instructions of one 64-byte allocate+release pair through the system allocator,
# mmgr_malloc/mmgr_free, new/delete and the floor allocator (benchmarks/floor_allocator.cpp),
# under callgrind, and fails when
#   - the library's overhead over raw malloc/free (mmgr or new) has grown more than 10% above
#     the committed baseline for the compiler in use (benchmarks/instruction_baseline.txt), or
#   - mmgr_malloc+mmgr_free or new+delete costs more than 5% above the floor allocator.
# Instruction counts are deterministic for a given compiler and C library, unlike timings.
#
#   scripts/check_instruction_counts.sh                    build, count, compare
#   scripts/check_instruction_counts.sh --update-baseline  ... and rewrite the baseline
#   scripts/check_instruction_counts.sh --table [bytes]     only print "family per-pair" lines
#                                                           for a block size (no check)
#
# Environment: MEMMGR_PERF_BUILD_DIR (default build/perf), MEMMGR_PERF_CMAKE_ARGS (extra
# configure arguments, e.g. -DMEMMGR_TLS_DESCRIPTORS=OFF), MEMMGR_PERF_PAIRS (default 100000).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${MEMMGR_PERF_BUILD_DIR:-$root/build/perf}"
pairs="${MEMMGR_PERF_PAIRS:-100000}"
baseline="$root/benchmarks/instruction_baseline.txt"
update=false
tableOnly=false
bytes=64
case "${1:-}" in
  --update-baseline) update=true ;;
  --table) tableOnly=true; bytes="${2:-64}" ;;
  "") ;;
  *) echo "usage: $0 [--update-baseline | --table [bytes]]" >&2; exit 2 ;;
esac

# Installed on first use (apt-get, as root or through sudo).
source "$root/scripts/lib/install_deps.sh"
memmgr_install_packages valgrind >&2

# shellcheck disable=SC2086  # the extra arguments are meant to split
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DMEMMGR_BUILD_TESTS=OFF \
  -DMEMMGR_BUILD_EXAMPLES=OFF -DMEMMGR_BUILD_BENCHMARKS=ON ${MEMMGR_PERF_CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j2 --target instruction_workload >/dev/null

workload="$build/benchmarks/instruction_workload"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

# Instructions executed inside run_<family>: callgrind collects only there, so the summary
# line of its output is that function's count.
count() {
  local family="$1" out="$scratch/callgrind.$1"
  # Symbols bound at start-up: no lazy-binding work inside the counted function.
  LD_BIND_NOW=1 valgrind --tool=callgrind --toggle-collect="run_$family" \
    --callgrind-out-file="$out" "$workload" "$family" "$pairs" "$bytes" >/dev/null 2>"$scratch/log.$family" || {
    cat "$scratch/log.$family" >&2
    return 1
  }
  awk '$1 == "summary:" || $1 == "totals:" { print $2; exit }' "$out"
}

compiler="$("$workload" compiler)"
loop="$(count loop)"
declare -A perPair
for family in raw mmgr new floor; do
  total="$(count "$family")"
  # The bare loop is taken off, so each figure is the pair alone.
  perPair[$family]="$(awk -v t="$total" -v l="$loop" -v n="$pairs" 'BEGIN { printf "%.1f", (t - l) / n }')"
done

if $tableOnly; then
  echo "compiler $compiler"
  for family in raw floor mmgr new; do echo "$family ${perPair[$family]}"; done
  exit 0
fi

overheadOf() { awk -v a="${perPair[$1]}" -v r="${perPair[raw]}" 'BEGIN { printf "%.1f", a - r }'; }
declare -A overhead=([mmgr]="$(overheadOf mmgr)" [new]="$(overheadOf new)" [floor]="$(overheadOf floor)")

echo "Instructions per 64-byte allocate+release pair ($compiler, callgrind, $pairs pairs):"
printf '  %-26s %8s %16s %14s\n' "entry point" "per pair" "over raw" "vs floor"
for family in raw floor mmgr new; do
  case "$family" in
    raw) label="malloc/free" ;;
    floor) label="floor_malloc/floor_free" ;;
    mmgr) label="mmgr_malloc/mmgr_free" ;;
    new) label="new/delete" ;;
  esac
  versus="$(awk -v a="${perPair[$family]}" -v f="${perPair[floor]}" 'BEGIN { printf "%+.1f%%", 100 * (a - f) / f }')"
  over="-"
  [[ "$family" != raw ]] && over="+${overhead[$family]}"
  printf '  %-26s %8s %16s %14s\n' "$label" "${perPair[$family]}" "$over" "$versus"
done

if $update; then
  kept="$(grep -v -e '^#' -e "^$compiler " "$baseline" 2>/dev/null || true)"
  {
    echo "# Instructions per 64-byte pair above raw malloc/free, per compiler, as counted by"
    echo "# scripts/check_instruction_counts.sh. The check fails when a figure grows more than 10%."
    echo "# Refresh the current compiler's lines with: scripts/check_instruction_counts.sh --update-baseline"
    { [[ -n "$kept" ]] && echo "$kept"
      echo "$compiler mmgr ${overhead[mmgr]}"
      echo "$compiler new ${overhead[new]}"; } | sort
  } >"$baseline"
  echo "Baseline for $compiler written to ${baseline#"$root"/}"
fi

status=0
for family in mmgr new; do
  allowed="$(awk -v c="$compiler" -v f="$family" '$1 == c && $2 == f { print $3 }' "$baseline")"
  if [[ -z "$allowed" ]]; then
    echo "FAIL: no $compiler baseline for $family in ${baseline#"$root"/} (add it with --update-baseline)" >&2
    status=1
    continue
  fi
  if awk -v m="${overhead[$family]}" -v b="$allowed" 'BEGIN { exit !(m > b * 1.10) }'; then
    echo "FAIL: $family overhead ${overhead[$family]} is more than 10% above the baseline $allowed" >&2
    status=1
  fi
  if awk -v m="${perPair[$family]}" -v f="${perPair[floor]}" 'BEGIN { exit !(m > f * 1.05) }'; then
    echo "FAIL: $family costs ${perPair[$family]} per pair, more than 5% above the floor ${perPair[floor]}" >&2
    status=1
  fi
done
[[ $status -eq 0 ]] && echo "Instruction counts within the baseline and within 5% of the floor."
exit $status
