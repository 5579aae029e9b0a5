#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Every test, each phase through the CMake presets (CMakePresets.json) and ctest:
#   format        clang-format-14 over the project's own C and C++ sources
#   gcc, clang    the release builds with g++ and clang 14 (warnings as errors) and ctest
#   consumers     hosts built against an installed copy, through find_package and pkg-config
#   leases        the release build with thread leases
#   scudo         the g++ suite again with scudo, Android's allocator, as the system allocator
#   allocators    the g++ suite again over jemalloc, mimalloc and gperftools tcmalloc in turn
#                 as the system allocator, with the library's new in effect
#   aarch64       the suite built for 64-bit ARM Linux and run under qemu (clang: build only)
#   instructions  the per-pair instruction counts against benchmarks/instruction_baseline.txt
#   ubsan, asan, tsan, memcheck, fuzz   the suite under the runtime checkers; the fuzzer
#                 (tsan and fuzz run over the lease build too)
#
#   scripts/run_tests.sh [phase...]   (default: every phase, in the order above)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
all=(format gcc consumers clang leases scudo allocators aarch64 instructions ubsan asan tsan memcheck fuzz)
phases=("$@")
((${#phases[@]})) || phases=("${all[@]}")
scripts/lib/install_deps.sh build clang format valgrind cross allocators
# Cases and hosts set their own limits: the caller's must not reach them.
unset VOQ_MAXIMUM_MEMORY
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

release() { cmake --preset release >/dev/null && cmake --build --preset release; }

phase_format() {
  # The public header has no extension: everything in include/ is checked.
  find src include tests tools examples benchmarks lib_base -type f \( -name '*.[ch]' \
    -o -name '*.cc' -o -name '*.cpp' -o -name '*.hpp' -o -path 'include/*' \) -print0 |
    xargs -0 clang-format-14 --dry-run --Werror
}
phase_gcc() { cmake --workflow --preset release; }
phase_clang() { cmake --workflow --preset clang; }
phase_leases() { cmake --workflow --preset leases; }

# The install tree alone must do: the example hosts built through find_package, the C one
# again through pkg-config, and the C++ one run by the installed memmgr-run, which must find
# the installed library and its companion.
phase_consumers() {
  release
  local prefix="$scratch/prefix" pc
  cmake --install build/release --prefix "$prefix"
  CMAKE_PREFIX_PATH="$prefix" cmake -S examples -B "$scratch/examples"
  cmake --build "$scratch/examples" -j2
  "$scratch/examples/tile_cache_host" >/dev/null
  "$scratch/examples/c_host" >/dev/null
  "$prefix/bin/memmgr-run" --limit 8M --report "$scratch/summary.txt" \
    -- "$scratch/examples/tile_cache_host" >/dev/null
  grep -q "peak accounted: *[1-9]" "$scratch/summary.txt" ||
    { cat "$scratch/summary.txt"; echo "memmgr-run saw nothing of the host"; return 1; } >&2
  pc="$(find "$prefix" -name lib_memmgr.pc -print -quit)"
  [[ -n "$pc" ]] || { echo "lib_memmgr.pc was not installed" >&2; return 1; }
  local -x PKG_CONFIG_PATH="${pc%/*}"
  # shellcheck disable=SC2046  # pkg-config's output is a list of words
  cc -std=c11 -Wall -Wextra -Wpedantic -Werror -o "$scratch/c_consumer" examples/c_host.c \
    $(pkg-config --cflags --libs lib_memmgr) -Wl,-rpath,"$(pkg-config --variable=libdir lib_memmgr)"
  "$scratch/c_consumer" >/dev/null
}

# scudo's malloc_usable_size returns exactly the requested size where glibc rounds up, so code
# or tests leaning on the rounding fail here. The preloaded object (the scudo test preset's
# LD_PRELOAD) is made from compiler-rt's static archive: the package's shared object also
# defines the C++ operators, which would shadow the library's own, while on Android they live
# in the C++ runtime, not in libc.
phase_scudo() {
  release
  local out=build/release/scudo archive
  archive="$(dpkg -L libclang-rt-14-dev | grep "/libclang_rt\.scudo_standalone-$(uname -m)\.a$")" ||
    { echo "libclang-rt-14-dev has no scudo archive for $(uname -m)" >&2; return 1; }
  mkdir -p "$out"
  cc -shared -o "$out/libscudo_c.so" -Wl,--whole-archive "$archive" -Wl,--no-whole-archive \
    -Wl,-z,defs -pthread
  if nm -D --defined-only "$out/libscudo_c.so" | grep -E ' _Z(nw|na|dl|da)'; then
    echo "$out/libscudo_c.so defines C++ operators" >&2
    return 1
  fi
  # The preload takes: glibc would report 24 usable bytes for a 1-byte block.
  printf '%s\n' '#include <malloc.h>' '#include <stdio.h>' '#include <stdlib.h>' \
    'int main(void) { printf("%zu\n", malloc_usable_size(malloc(1))); return 0; }' |
    cc -x c -o "$out/probe" -
  [[ "$(LD_PRELOAD="$out/libscudo_c.so" "$out/probe")" == 1 ]] ||
    { echo "the scudo preload does not take" >&2; return 1; }
  ctest --preset scudo
}

# Each allocator provides malloc while the library's new stays in effect: the library is
# preloaded first (the allocators test preset), since each of them defines the operators too.
# glibc's run is the gcc phase. Left out: memmgr-run's cases, as in the scudo phase (the tool
# preloads the library itself, behind its companion), and the dlopen case, whose process must
# not have the library loaded before it opens it. A probe shows each order: the
# allocator first takes new, the library first keeps it.
phase_allocators() {
  release
  local lib allocator probe=build/release/tests/core/memmgr_new_in_effect_library
  lib="$root/build/release/src/liblib_memmgr.so"
  for allocator in libjemalloc.so.2 libmimalloc.so.2.0 libtcmalloc_minimal.so.4; do
    allocator="$(dpkg -L libjemalloc2 libmimalloc2.0 libtcmalloc-minimal4 |
      grep -m1 "/$allocator\$")" || { echo "no $allocator installed" >&2; return 1; }
    echo "--- $allocator"
    LD_PRELOAD="$allocator:$lib" "$probe" 0
    LD_PRELOAD="$lib:$allocator" "$probe" 1
    MEMMGR_SYSTEM_ALLOCATOR="$allocator" ctest --preset allocators
  done
}

# Tests that start a child from a target executable need the kernel to hand aarch64 programs
# to qemu (binfmt_misc). Where that cannot be set up (no root, a container without the file
# system, a kernel without the module) they skip, and death tests keep the fork-only style.
register_binfmt() {
  local dir=/proc/sys/fs/binfmt_misc
  [[ "$(id -u)" -eq 0 ]] || return 1
  [[ -e "$dir/register" ]] || mount -t binfmt_misc binfmt_misc "$dir" 2>/dev/null || return 1
  [[ -e "$dir/qemu-aarch64" ]] || update-binfmts --import qemu-aarch64 >/dev/null 2>&1 || true
  update-binfmts --enable qemu-aarch64 >/dev/null 2>&1 || true
  grep -qx enabled "$dir/qemu-aarch64" 2>/dev/null
}
phase_aarch64() {
  local style=()
  register_binfmt || {
    echo "binfmt_misc registration not possible here: tests that exec a target child skip"
    style=(GTEST_DEATH_TEST_STYLE=fast)
  }
  env "${style[@]}" cmake --workflow --preset aarch64
  # The clang build's run would repeat the g++ one at a minute or more of emulation.
  cmake --preset aarch64-clang && cmake --build --preset aarch64-clang
}

phase_instructions() {
  scripts/check_instruction_counts.sh
  scripts/check_instruction_counts.sh --preset clang
}
phase_ubsan() { cmake --workflow --preset ubsan; }
phase_asan() { cmake --workflow --preset asan; }
phase_tsan() { cmake --workflow --preset tsan && cmake --workflow --preset tsan-leases; }
phase_fuzz() { cmake --workflow --preset fuzz && cmake --workflow --preset fuzz-leases; }

# ctest reads its memcheck settings (tests/CMakeLists.txt) from the build tree named by
# --test-dir; a finding fails its case (valgrind's --error-exitcode).
phase_memcheck() {
  local logs=build/memcheck/Testing/Temporary
  cmake --preset memcheck && cmake --build --preset memcheck
  rm -f "$logs"/MemoryChecker.*.log
  ctest --preset memcheck --test-dir build/memcheck -T memcheck && return
  find "$logs" -name 'MemoryChecker.*.log' -size +0 -exec tail -n +1 {} + >&2
  return 1
}

summary=()
for phase in "${phases[@]}"; do
  [[ " ${all[*]} " == *" $phase "* ]] || { echo "unknown phase '$phase' (${all[*]})" >&2; exit 2; }
  echo "=== $phase"
  start=$SECONDS
  "phase_$phase"
  summary+=("$phase: $((SECONDS - start)) s")
done
printf '=== passed: %s\n' "${summary[@]}"
