#!/usr/bin/env bash
# The whole test suite: the build and ctest with g++ and with clang 14 (warnings as errors),
# hosts built against the installed library, then the Android allocator (scudo),
# cross-architecture, instruction-count and sanitizer checks where present.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/lib/install_deps.sh"
memmgr_install_packages "${MEMMGR_BUILD_PACKAGES[@]}" clang-14

# build_and_test <build dir> <C compiler> <C++ compiler>
build_and_test() {
  local dir="$root/build/$1"
  echo "=== $1: configure, build, ctest"
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DMEMMGR_WERROR=ON \
    -DCMAKE_C_COMPILER="$2" -DCMAKE_CXX_COMPILER="$3"
  cmake --build "$dir" -j2
  (cd "$dir" && ctest --output-on-failure -j2)
}

build_and_test gcc gcc g++
echo "=== consumers of the installed library"
"$root/scripts/test_consumers.sh" "$root/build/gcc"
build_and_test clang clang-14 clang++-14

for check in test_scudo.sh test_aarch64.sh check_instruction_counts.sh test_sanitizers.sh run_fuzzer.sh; do
  if [[ -x "$root/scripts/$check" ]]; then
    echo "=== $check"
    "$root/scripts/$check"
  fi
done
echo "=== all tests passed"
