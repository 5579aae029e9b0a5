#!/usr/bin/env bash
# Regenerates docs/performance.md and docs/performance_overhead.png: builds the benchmarks in
# Release (build/perf, and build/perf-tls-traditional for the thread-local model comparison),
# runs them with repetitions (medians reported), counts instructions per pair under callgrind
# for every block size, counts the same workload for arm64 under qemu user mode (cross g++ and
# clang 14, three ways of making the atomic addition), and draws the chart with gnuplot. Takes
# about twenty minutes.
#
#   scripts/perf_report.sh          everything
#   scripts/perf_report.sh --arm64  only the arm64 counts (about seven minutes); the other
#                                   figures are taken from the last full run's build/perf-report
#
# Environment: MEMMGR_BENCH_REPETITIONS (default 9), MEMMGR_BENCH_MIN_TIME (seconds, 0.1).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
repetitions="${MEMMGR_BENCH_REPETITIONS:-9}"
minTime="${MEMMGR_BENCH_MIN_TIME:-0.1}"
pairs=100000
work="$root/build/perf-report"
docs="$root/docs"
arm64Only=false
case "${1:-}" in
  --arm64) arm64Only=true ;;
  "") ;;
  *) echo "usage: $0 [--arm64]" >&2; exit 2 ;;
esac
mkdir -p "$work" "$docs"

source "$root/scripts/lib/install_deps.sh"
memmgr_install_packages gnuplot-nox valgrind python3 g++-aarch64-linux-gnu qemu-user clang-14

# arm64_counts <aarch64|aarch64-clang>: "<compiler> <atomics> <core> <family> <per pair>" lines
# for a 64 B pair, with the atomic addition as the build makes it (inline: the ldaxr/stlxr loop
# src/CMakeLists.txt selects), through the compiler's default outline call (the configure check
# turned off), and as inline ldaddal (ARMv8.1 code, so only on the core that has LSE).
arm64_counts() {
  local arch="$1" variant args cpu cpus
  for variant in inline outline lse; do
    case "$variant" in
      inline) args=""; cpus="cortex-a53 cortex-a76" ;;
      outline) args="-DMEMMGR_HAVE_NO_OUTLINE_ATOMICS=OFF"; cpus="cortex-a53 cortex-a76" ;;
      lse) args="-DCMAKE_CXX_FLAGS=-march=armv8.1-a"; cpus="cortex-a76" ;;
    esac
    for cpu in $cpus; do
      MEMMGR_PERF_BUILD_DIR="$root/build/${arch/aarch64/aarch64-perf}${args:+-$variant}" \
        MEMMGR_PERF_CMAKE_ARGS="$args" MEMMGR_QEMU_CPU="$cpu" \
        "$root/scripts/check_instruction_counts.sh" --arch "$arch" --table 64 |
        awk -v v="$variant" -v c="$cpu" '$1 == "compiler" { compiler = $2 }
          $1 != "compiler" && $1 != "cpu" { print compiler, v, c, $1, $2 }'
    done
  done
}
report_arm64() {
  echo "perf_report: counting arm64 instructions under qemu"
  arm64_counts aarch64 >"$work/arm64-gcc.tsv" &
  local gcc=$!
  arm64_counts aarch64-clang >"$work/arm64-clang.tsv"
  wait "$gcc"
  cat "$work/arm64-gcc.tsv" "$work/arm64-clang.tsv" >"$work/arm64.tsv"
  {
    echo "qemu: $(qemu-aarch64 --version | head -1)"
    echo "glibc: $(dpkg-query -W -f='${Version}' libc6-arm64-cross 2>/dev/null || echo unknown)"
    echo "gcc: $(aarch64-linux-gnu-g++ --version | head -1)"
    echo "clang: $(clang++-14 --version | head -1)"
    echo "date: $(date -u +%Y-%m-%d)"
  } >"$work/arm64.txt"
}

if $arm64Only; then
  if [[ ! -e "$work/bench.json" ]]; then
    echo "perf_report: no figures of a full run in ${work#"$root"/}; run it without --arm64 first" >&2
    exit 1
  fi
  report_arm64
  python3 "$root/scripts/perf_report.py" "$work" "$docs"
  echo "perf_report: wrote docs/performance.md (arm64 figures refreshed)"
  exit 0
fi

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

report_arm64

python3 "$root/scripts/perf_report.py" "$work" "$docs"
gnuplot -e "datafile='$docs/performance_overhead.dat'; outfile='$docs/performance_overhead.png'" \
  "$root/scripts/performance_overhead.gp"
echo "perf_report: wrote docs/performance.md and docs/performance_overhead.png"
