#!/usr/bin/env bash
# The whole test suite built for 64-bit ARM Linux and run under qemu user mode: the nearest
# check of the arm64 Android target that needs no device.
#   build/aarch64        g++-aarch64-linux-gnu, warnings as errors: build and ctest
#   build/aarch64-clang  clang 14 --target=aarch64-linux-gnu, warnings as errors: build only
#                        (the run would repeat the g++ one at a minute or more of emulation)
# Tests that start a child from a target executable (a probe program, a re-executed copy of
# themselves) need the kernel to hand aarch64 executables to qemu (binfmt_misc). Where that
# cannot be set up they skip with the reason, and death tests keep GoogleTest's fork-only style.
#
# Environment: MEMMGR_AARCH64_CLANG=test also runs the clang build's tests; =off leaves it out.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/lib/install_deps.sh"
start=$SECONDS

packages=(cmake make googletest g++-aarch64-linux-gnu qemu-user qemu-user-binfmt binfmt-support)
clang="${MEMMGR_AARCH64_CLANG:-build}"
[[ "$clang" != off ]] && packages+=(clang-14)
memmgr_install_packages "${packages[@]}"

# Registers qemu-aarch64 with binfmt_misc; fails where the machine does not allow it (no
# root, a container without the file system, a kernel without the module).
register_binfmt() {
  local dir=/proc/sys/fs/binfmt_misc
  [[ "$(id -u)" -eq 0 ]] || return 1
  if [[ ! -e "$dir/register" ]]; then
    mount -t binfmt_misc binfmt_misc "$dir" 2>/dev/null || return 1
  fi
  if [[ ! -e "$dir/qemu-aarch64" ]]; then
    update-binfmts --import qemu-aarch64 >/dev/null 2>&1 || true
  fi
  update-binfmts --enable qemu-aarch64 >/dev/null 2>&1 || true
  grep -qx enabled "$dir/qemu-aarch64" 2>/dev/null
}

if register_binfmt; then
  echo "=== aarch64: binfmt_misc hands aarch64 executables to qemu"
else
  echo "=== aarch64: binfmt_misc registration not possible here: tests that exec a target" \
       "child will skip, death tests use the fork-only style"
  export GTEST_DEATH_TEST_STYLE=fast
fi

# cross_build <build dir> <toolchain file> build|test
cross_build() {
  local dir="$root/build/$1" began=$SECONDS steps="configure, build"
  [[ "$3" == test ]] && steps+=", ctest under qemu-aarch64"
  echo "=== $1: $steps"
  cmake -S "$root" -B "$dir" --toolchain "$root/cmake/toolchains/$2" \
    -DCMAKE_BUILD_TYPE=Release -DMEMMGR_WERROR=ON -DMEMMGR_BUILD_BENCHMARKS=OFF >/dev/null
  cmake --build "$dir" -j2
  if [[ "$3" == test ]]; then (cd "$dir" && ctest --output-on-failure -j2); fi
  echo "=== $1: $((SECONDS - began)) s"
}

cross_build aarch64 aarch64-linux-gnu.cmake test
if [[ "$clang" != off ]]; then cross_build aarch64-clang aarch64-linux-gnu-clang.cmake "$clang"; fi
echo "=== aarch64 checks passed in $((SECONDS - start)) s"
