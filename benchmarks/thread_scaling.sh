#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# How the two accounting builds scale with threads, side by side in one run:
#   - the 64-byte pair on 1, 2, 4 and 8 threads at once (CPU time per pair on each thread),
#     for the system allocator, the floor, mmgr_malloc/free and new/delete, from each build;
#   - the host-shaped workload (benchmarks/host_workload.cpp), its wall time plainly and with
#     each build preloaded, in interleaved rounds, median of each.
# Prints Markdown tables for docs/performance.md. Builds the presets release and leases.
#   benchmarks/thread_scaling.sh [rounds of the workload, default 7]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
rounds="${1:-7}"
cd "$root"
for preset in release leases; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target memmgr_benchmarks host_workload >/dev/null
done

echo "| family | build | 1 thread | 2 threads | 4 threads | 8 threads |"
echo "| --- | --- | ---: | ---: | ---: | ---: |"
for preset in release leases; do
  build/$preset/benchmarks/memmgr_benchmarks --benchmark_filter='^scaling/' \
    --benchmark_min_time=0.5 --benchmark_format=csv 2>/dev/null |
    awk -F, -v build="$preset" '/^"scaling\// {
        split($1, part, "/"); sub(/threads:/, "", part[4]); sub(/"/, "", part[4])
        families[part[2]] = 1; cpu[part[2], part[4]] = $4 } END {
        for (family in families) printf "| %s | %s | %.1f | %.1f | %.1f | %.1f |\n", family,
          build, cpu[family, 1], cpu[family, 2], cpu[family, 4], cpu[family, 8] }' | sort
done

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
workload=build/release/benchmarks/host_workload
echo
echo "| threads | system allocator (ms) | shared total | leases |"
echo "| ---: | ---: | ---: | ---: |"
for threads in 1 2 4 8; do
  declare -A times=()
  for ((round = 0; round < rounds; ++round)); do
    times[system]+="$("$workload" "$threads" 100) "
    for preset in release leases; do
      times[$preset]+="$(LD_PRELOAD="$root/build/$preset/src/liblib_memmgr.so" \
        VOQ_MAXIMUM_MEMORY=4294967295 "$workload" "$threads" 100) "
    done
  done
  system=$(tr ' ' '\n' <<<"${times[system]}" | grep . | median)
  shared=$(tr ' ' '\n' <<<"${times[release]}" | grep . | median)
  leases=$(tr ' ' '\n' <<<"${times[leases]}" | grep . | median)
  awk -v t="$threads" -v s="$system" -v a="$shared" -v b="$leases" \
    'BEGIN { printf "| %d | %.1f | %.1f (%.2f×) | %.1f (%.2f×) |\n", t, s, a, a / s, b, b / s }'
  unset times
done
