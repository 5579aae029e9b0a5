#!/usr/bin/env bash
# Regenerates docs/performance.md and docs/performance_overhead.png: builds the benchmarks in
# Release (build/perf, and build/perf-tls-traditional for the thread-local model comparison),
# runs them with repetitions (medians reported), counts instructions per pair under callgrind
# for every block size, and draws the chart with gnuplot. Takes about ten minutes.
#
# Environment: MEMMGR_BENCH_REPETITIONS (default 9), MEMMGR_BENCH_MIN_TIME (seconds, 0.1).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
repetitions="${MEMMGR_BENCH_REPETITIONS:-9}"
minTime="${MEMMGR_BENCH_MIN_TIME:-0.1}"
pairs=100000
work="$root/build/perf-report"
docs="$root/docs"
mkdir -p "$work" "$docs"

source "$root/scripts/lib/install_deps.sh"
memmgr_install_packages gnuplot-nox valgrind

build() {  # <dir> [cmake args...]
  local dir="$1"
  shift
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DMEMMGR_BUILD_TESTS=OFF \
    -DMEMMGR_BUILD_EXAMPLES=OFF -DMEMMGR_BUILD_BENCHMARKS=ON "$@" >/dev/null
  cmake --build "$dir" -j2 --target memmgr_benchmarks instruction_workload >/dev/null
}
echo "perf_report: building"
build "$root/build/perf"
build "$root/build/perf-tls-traditional" -DMEMMGR_TLS_DESCRIPTORS=OFF

echo "perf_report: counting instructions"
: >"$work/instructions.tsv"
for size in 16 64 256 4096 65536 1048576; do
  MEMMGR_PERF_PAIRS=$pairs "$root/scripts/check_instruction_counts.sh" --table "$size" |
    awk -v s="$size" '$1 != "compiler" { print "gnu2", s, $1, $2 }' >>"$work/instructions.tsv"
done
MEMMGR_PERF_BUILD_DIR="$root/build/perf-tls-traditional" MEMMGR_PERF_CMAKE_ARGS=-DMEMMGR_TLS_DESCRIPTORS=OFF \
  MEMMGR_PERF_PAIRS=$pairs "$root/scripts/check_instruction_counts.sh" --table 64 |
  awk '$1 != "compiler" { print "traditional", 64, $1, $2 }' >>"$work/instructions.tsv"

echo "perf_report: timing ($repetitions repetitions, interleaved)"
common=(--benchmark_repetitions="$repetitions" --benchmark_min_time="$minTime"
  --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true
  --benchmark_format=console --benchmark_out_format=json)
"$root/build/perf/benchmarks/memmgr_benchmarks" "${common[@]}" \
  --benchmark_out="$work/bench.json" >"$work/bench.txt"
"$root/build/perf-tls-traditional/benchmarks/memmgr_benchmarks" "${common[@]}" \
  --benchmark_filter='^pair/(raw|mmgr|new|floor)/64$' \
  --benchmark_out="$work/bench-tls-traditional.json" >"$work/bench-tls-traditional.txt"

{
  echo "cpu: $(lscpu | sed -n 's/^Model name:[[:space:]]*//p' | head -1)"
  echo "cores: $(nproc)"
  echo "glibc: $(ldd --version | head -1 | sed 's/^ldd //')"
  echo "compiler: $(c++ --version | head -1)"
  echo "kernel: $(uname -r)"
  echo "benchmark: $(dpkg-query -W -f='${Version}' libbenchmark-dev 2>/dev/null || echo unknown)"
  echo "date: $(date -u +%Y-%m-%d)"
  echo "repetitions: $repetitions"
  echo "pairs: $pairs"
} >"$work/machine.txt"

python3 "$root/scripts/perf_report.py" "$work" "$docs"
gnuplot -e "datafile='$docs/performance_overhead.dat'; outfile='$docs/performance_overhead.png'" \
  "$root/scripts/performance_overhead.gp"
echo "perf_report: wrote docs/performance.md and docs/performance_overhead.png"
