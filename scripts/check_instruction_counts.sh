#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Counts the instructions of one 64-byte allocate+release pair through the system allocator,
# mmgr_malloc/mmgr_free, new/delete and the floor allocator (benchmarks/floor_allocator.cpp),
# in the build of a preset, and fails when
#   - the library's overhead over raw malloc/free (mmgr or new) has grown more than 10% above
#     the committed baseline for the compiler in use (benchmarks/instruction_baseline.txt), or
#   - mmgr_malloc+mmgr_free or new+delete costs more than 5% above the floor allocator.
# Instruction counts are deterministic for a given compiler and C library, unlike timings.
#
#   scripts/check_instruction_counts.sh [--preset P] [--update-baseline | --table [bytes]]
#     --preset P         release (the default) or clang: counted under callgrind; aarch64-perf
#                        or aarch64-clang-perf: counted under qemu user mode, figures only, no
#                        check (the native check guards the code; these show what the arm64 hot
#                        path costs); emutls-perf: clang with emulated TLS, as Android below API
#                        29 has it, counted under callgrind, figures only, no check
#     --update-baseline  ... and rewrite the baseline of the compiler in use
#     --table [bytes]    only print "family per-pair" lines for a block size (no check)
#
# Environment: MEMMGR_PERF_PAIRS (default 100000; 2000 on aarch64), MEMMGR_QEMU_CPU (the
# emulated core on aarch64, default cortex-a53: ARMv8.0, no LSE atomics; cortex-a76 has them).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
preset=release
update=false
tableOnly=false
bytes=64
usage="usage: $0 [--preset P] [--update-baseline | --table [bytes]]"
while (($#)); do
  case "$1" in
    --preset) preset="${2:?$usage}"; shift ;;
    --update-baseline) update=true ;;
    --table) tableOnly=true; if [[ "${2:-}" =~ ^[0-9]+$ ]]; then bytes="$2"; shift; fi ;;
    *) echo "$usage" >&2; exit 2 ;;
  esac
  shift
done
native=true
checked=true
pairs="${MEMMGR_PERF_PAIRS:-100000}"
if [[ "$preset" == aarch64* ]]; then
  native=false
  checked=false
  pairs="${MEMMGR_PERF_PAIRS:-2000}"
  cpu="${MEMMGR_QEMU_CPU:-cortex-a53}"
  $update && { echo "the aarch64 figures are reported, not checked: no baseline" >&2; exit 2; }
fi
# The baseline holds one line per compiler: emulated TLS, with the same compiler, must not
# become the figure the ELF TLS build is held to.
emulated=false
if [[ "$preset" == emutls* ]]; then
  emulated=true
  checked=false
  $update && { echo "the emulated-TLS figures are reported, not checked: no baseline" >&2; exit 2; }
fi
baseline="$root/benchmarks/instruction_baseline.txt"

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
workload="$root/build/$preset/benchmarks/instruction_workload"
groups=(build)
if $native; then groups+=(valgrind); else groups+=(cross); fi
[[ "$preset" != *clang* ]] && ! $emulated || groups+=(clang)
"$root/scripts/lib/install_deps.sh" "${groups[@]}" >&2
(cd "$root" && cmake --preset "$preset" && cmake --build --preset "$preset" --target instruction_workload) \
  >"$scratch/build.log" 2>&1 || { cat "$scratch/build.log" >&2; exit 1; }

if $native; then
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
  run() { "$workload" "$@"; }
else
  export QEMU_LD_PREFIX=/usr/aarch64-linux-gnu
  # The sysroot's libc before Debian's arm64 one (multiarch), which the loader must not mix.
  export LD_LIBRARY_PATH=/usr/aarch64-linux-gnu/lib
  # qemu (7.2) translating one guest instruction per block (-singlestep) and logging every
  # block it runs, unchained (-d exec,nochain): one trace line per executed instruction, and
  # qemu names the symbol of the main program's instructions. The lines from the first to the
  # last instruction of run_<family> are that function with everything it calls.
  count() {
    local family="$1" log="$scratch/trace" lines
    LD_BIND_NOW=1 qemu-aarch64 -cpu "$cpu" -singlestep -d exec,nochain -D "$log" \
      "$workload" "$family" "$pairs" "$bytes" >/dev/null || return 1
    lines="$(awk -v fn="run_$family" '/^Trace / { n++ } $NF == fn { if (!first) first = n; last = n }
      END { if (!first) exit 1; print last - first + 1 }' "$log")" || {
      echo "no trace of run_$family in qemu's log" >&2
      return 1
    }
    rm -f "$log"
    echo "$lines"
  }
  run() { qemu-aarch64 -cpu "$cpu" "$workload" "$@"; }
fi

compiler="$(run compiler)"
loop="$(count loop)"
declare -A perPair
for family in raw mmgr new floor; do
  total="$(count "$family")"
  # The bare loop is taken off, so each figure is the pair alone.
  perPair[$family]="$(awk -v t="$total" -v l="$loop" -v n="$pairs" 'BEGIN { printf "%.1f", (t - l) / n }')"
done

if $tableOnly; then
  echo "compiler $compiler"
  $native || echo "cpu $cpu"
  for family in raw floor mmgr new; do echo "$family ${perPair[$family]}"; done
  exit 0
fi

overheadOf() { awk -v a="${perPair[$1]}" -v r="${perPair[raw]}" 'BEGIN { printf "%.1f", a - r }'; }
declare -A overhead=([mmgr]="$(overheadOf mmgr)" [new]="$(overheadOf new)" [floor]="$(overheadOf floor)")

if $emulated; then
  echo "Instructions per $bytes-byte allocate+release pair ($compiler, emulated TLS, callgrind, $pairs pairs):"
elif $native; then
  echo "Instructions per $bytes-byte allocate+release pair ($compiler, callgrind, $pairs pairs):"
else
  echo "Instructions per $bytes-byte allocate+release pair ($compiler aarch64, qemu-aarch64 -cpu $cpu, $pairs pairs):"
fi
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

# On aarch64 the figures are the result: qemu and the cross C library fix them, not the code
# alone. With emulated TLS they show its cost, which the ELF TLS build's check does not cover.
$checked || exit 0

if $update; then
  kept="$(grep -v -e '^#' -e "^$compiler " "$baseline" 2>/dev/null || true)"
  {
    echo "# Instructions per 64-byte pair above raw malloc/free, per compiler, as counted by"
    echo "# scripts/check_instruction_counts.sh. The check fails when a figure grows more than 10%."
    echo "# Refresh a compiler's lines with: scripts/check_instruction_counts.sh [--preset clang] --update-baseline"
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
