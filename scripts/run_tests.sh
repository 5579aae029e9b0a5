#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Every test, each phase through the CMake presets (CMakePresets.json) and ctest:
#   format        clang-format-14 over the project's own C and C++ sources
#   gcc, clang    the release builds with g++ and clang 14 (warnings as errors) and ctest
#   consumers     hosts built against an installed copy, through find_package and pkg-config,
#                 and the docs' C, C++ and JNI snippets compiled against it
#   cmake318      the library built, installed and taken by hosts (find_package,
#                 add_subdirectory, FetchContent) with Debian 11's CMake 3.18
#   emutls        the clang build with emulated TLS, as Android below API 29 has it, checked to
#                 emulate, and ctest; the lease build's too
#   leases        the release build with thread leases
#   scudo         the g++ suite again with scudo, Android's allocator, as the system allocator
#   allocators    the g++ suite again over jemalloc, mimalloc and gperftools tcmalloc in turn
#                 as the system allocator, with the library's new in effect
#   recipes       hosts linked by every allocator recipe of docs/integration.md, under
#                 --as-needed and --no-as-needed: the allocator's malloc, the library's new
#   aarch64       the suite built for 64-bit ARM Linux and run under qemu (clang: build only)
#   instructions  the per-pair instruction counts against benchmarks/instruction_baseline.txt
#   ubsan, asan, tsan, memcheck, fuzz   the suite under the runtime checkers; the fuzzer
#                 (tsan and fuzz run over the lease build too)
#
#   scripts/run_tests.sh [phase...]   (default: every phase, in the order above)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
all=(format gcc consumers cmake318 clang emutls leases scudo allocators recipes aarch64 instructions ubsan asan tsan memcheck fuzz)
phases=("$@")
((${#phases[@]})) || phases=("${all[@]}")
scripts/lib/install_deps.sh build clang format valgrind cross allocators recipes docs
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

# -femulated-tls stands in for the NDK's clang below API 29, whose loader has no ELF TLS. A
# build that quietly kept ELF TLS would pass every case and still not load there: the library
# must reach its thread-locals through __emutls_get_address (libgcc's here, an undefined
# dynamic symbol; the NDK links compiler-rt's into the library, so look for the compiler's
# __emutls_v.* control variables too) and have no TLS segment.
assert_emulated_tls() {
  local library
  for library in "build/$1"/src/liblib_memmgr.so*; do
    if ! nm -D --undefined-only "$library" | grep -qw __emutls_get_address &&
      ! nm "$library" | grep -q ' __emutls_v\.'; then
      echo "$library does not emulate TLS" >&2
      return 1
    fi
    if readelf -lW "$library" | grep -qE '^ *TLS '; then
      echo "$library has a TLS segment" >&2
      return 1
    fi
  done
}
phase_emutls() {
  local preset
  for preset in emutls emutls-leases; do
    cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset"
    assert_emulated_tls "$preset"
    ctest --preset "$preset"
  done
}

# The install tree alone must do: the example hosts built through find_package, the C one
# again through pkg-config, the C++ one run by the installed memmgr-run, which must find
# the installed library and the object it preloads, and every code snippet of the docs.
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
  # The C, C++ and JNI snippets of the README and docs, against the installed headers.
  python3 tests/docs/check_snippets.py "$prefix/include" \
    "/usr/lib/jvm/java-17-openjdk-$(dpkg --print-architecture)/include" README.md docs/*.md
}

# Debian 11's CMake 3.18, the oldest the library supports, from bullseye's archive: downloaded
# with apt-get and unpacked under build/ with a list of sources, lists and a cache of their own,
# so the machine's apt and dpkg state stay as they are. Kept for the next run, which fetches
# nothing. It runs on Debian 12 with bullseye's libjsoncpp beside it; the other libraries it
# needs have kept their sonames.
cmake318_dir="$root/build/cmake-3.18" cmake318_libs=""
fetch_cmake318() {
  local apt_dir="$cmake318_dir/apt" debs="$cmake318_dir/debs" tree="$cmake318_dir/tree"
  local apt=(-o Dir::Etc::sourcelist="$apt_dir/sources.list" -o Dir::Etc::sourceparts=-
    -o Dir::State="$apt_dir/state" -o Dir::State::Lists="$apt_dir/state/lists"
    -o Dir::State::status="$apt_dir/state/status" -o Dir::Cache="$apt_dir/cache"
    -o APT::Architectures="$(dpkg --print-architecture)" -o APT::Sandbox::User="$(id -un)")
  local package missing=()
  for package in cmake cmake-data libjsoncpp24; do
    compgen -G "$debs/${package}_*.deb" >/dev/null || missing+=("$package")
  done
  if ((${#missing[@]})); then
    mkdir -p "$apt_dir/state/lists/partial" "$apt_dir/cache/archives/partial" "$debs"
    : >"$apt_dir/state/status"  # nothing installed: bullseye's versions are the candidates
    echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg]" \
      "http://deb.debian.org/debian bullseye main" >"$apt_dir/sources.list"
    apt-get "${apt[@]}" update -q
    (cd "$debs" && apt-get "${apt[@]}" download "${missing[@]}")
    rm -rf "$apt_dir" "$tree"
  fi
  if [[ ! -x "$tree/usr/bin/cmake" ]]; then
    rm -rf "$tree.partial"
    for package in "$debs"/*.deb; do dpkg -x "$package" "$tree.partial"; done
    mv "$tree.partial" "$tree"
  fi
  cmake318_libs="$tree/usr/lib/$(gcc -print-multiarch)"
  if LD_LIBRARY_PATH="$cmake318_libs" ldd "$tree/usr/bin/cmake" | grep 'not found' >&2; then
    echo "bullseye's cmake needs libraries this system lacks" >&2
    return 1
  fi
  [[ "$(cmake318 --version)" == "cmake version 3.18."* ]] ||
    { echo "$tree/usr/bin/cmake is not CMake 3.18" >&2; return 1; }
}
cmake318() { LD_LIBRARY_PATH="$cmake318_libs" "$cmake318_dir/tree/usr/bin/cmake" "$@"; }

# With CMake 3.18: the library configured with its defaults (the examples, no tests, tools or
# benchmarks, which need 3.25 and refuse an older CMake when asked for), built and installed;
# then tests/consumers, a host that checks the library's new accounts its blocks, built against
# the installation, with add_subdirectory and with FetchContent of this tree, and run.
phase_cmake318() {
  fetch_cmake318
  local out="$scratch/cmake318" way
  cmake318 -S . -B "$out/library" >/dev/null
  cmake318 --build "$out/library" -j2
  cmake318 --install "$out/library" --prefix "$out/prefix" >/dev/null
  if cmake318 -S . -B "$out/tests" -DMEMMGR_BUILD_TESTS=ON >"$out/tests.log" 2>&1 ||
    ! grep -q "MEMMGR_BUILD_TESTS needs CMake 3.25" "$out/tests.log"; then
    cat "$out/tests.log"
    echo "the tests were configured with CMake 3.18 without a word" >&2
    return 1
  fi
  for way in package subdirectory fetchcontent; do
    echo "--- $way"
    cmake318 -S tests/consumers -B "$out/$way" -DMEMMGR_CONSUMER="$way" \
      -DMEMMGR_SOURCE_DIR="$root" -DCMAKE_PREFIX_PATH="$out/prefix" >/dev/null
    cmake318 --build "$out/$way" -j2
    "$out/$way/memmgr_consumer"
  done
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
# preloads the library itself, behind its own object), and the dlopen case, whose process must
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

phase_recipes() {
  release
  local prefix="$scratch/recipes-prefix" library
  cmake --install build/release --prefix "$prefix" >/dev/null
  library="$(find "$prefix" -name liblib_memmgr.so -print -quit)"
  tests/link_recipes/check_link_recipes.sh "${library%/*}" "$prefix/include" "$scratch/recipes"
  CMAKE_PREFIX_PATH="$prefix" cmake -S tests/link_recipes -B "$scratch/recipes-cmake" >/dev/null
  cmake --build "$scratch/recipes-cmake"
  "$scratch/recipes-cmake/link_recipe_host" libjemalloc.so
}

phase_aarch64() {
  cmake --workflow --preset aarch64
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
