#!/usr/bin/env bash
# The model-based fuzzer under ASan and UBSan: builds it with clang 14 in build/fuzz and runs
# it from the checked-in seed corpus for MEMMGR_FUZZ_SECONDS seconds (default 60). Any crash,
# sanitizer finding or disagreement with the model fails the script.
#
#   scripts/run_fuzzer.sh [extra libFuzzer options...]
#
# New inputs that libFuzzer finds go to build/fuzz/corpus, never into the source tree.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/lib/install_deps.sh"
memmgr_install_packages "${MEMMGR_BUILD_PACKAGES[@]}" clang-14 libclang-rt-14-dev

build="$root/build/fuzz"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DMEMMGR_SANITIZE=address -DMEMMGR_BUILD_FUZZER=ON -DMEMMGR_WERROR=ON \
  -DMEMMGR_BUILD_EXAMPLES=OFF -DMEMMGR_BUILD_BENCHMARKS=OFF
cmake --build "$build" -j2 --target memmgr_fuzzer

mkdir -p "$build/corpus"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# The limit must come from the inputs, never from the caller's environment.
unset VOQ_MAXIMUM_MEMORY
"$build/tests/fuzz/memmgr_fuzzer" -max_total_time="${MEMMGR_FUZZ_SECONDS:-60}" \
  -max_len=512 -artifact_prefix="$build/" "$@" "$build/corpus" "$root/tests/fuzz/corpus"
