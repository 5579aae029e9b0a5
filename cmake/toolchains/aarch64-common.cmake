# SPDX-License-Identifier: Apache-2.0
# Shared by the aarch64 toolchain files: Debian's cross sysroot, and qemu user mode as the
# emulator that ctest (and test discovery) runs every target binary under.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(MEMMGR_AARCH64_ROOT /usr/aarch64-linux-gnu CACHE PATH "Target libraries (Debian's cross sysroot)")

set(CMAKE_FIND_ROOT_PATH ${MEMMGR_AARCH64_ROOT})
# Libraries beyond the C and C++ runtimes (libdw for memmgr-run) come from Debian's arm64
# architecture, installed beside the build machine's own: pkg-config reads their .pc files.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Nothing is registered with the machine's binfmt_misc: a test that starts a target program of
# its own runs it under this emulator too (MEMMGR_CHILD_EMULATOR), death tests fork without exec
# (the aarch64 test presets' GTEST_DEATH_TEST_STYLE=fast), and memmgr-run's sites case, whose
# tool execs the target's programs itself, registers qemu in a binfmt_misc of a user namespace
# of its own (tests/memmgr_run/private_binfmt.sh). The library
# root goes through the environment rather than qemu's -L, so that such children find the
# target's loader and libc as well. LD_LIBRARY_PATH puts the sysroot's libc ahead of Debian's arm64 one (installed with
# libdw-dev:arm64), which the loader would otherwise find first through the build machine's
# ld.so.cache: the sysroot's loader must run with its own libc.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/env QEMU_LD_PREFIX=${MEMMGR_AARCH64_ROOT}
  LD_LIBRARY_PATH=${MEMMGR_AARCH64_ROOT}/lib qemu-aarch64)

# No Google Benchmark for the target; GoogleTest is built from source with the same compiler.
set(MEMMGR_BUILD_BENCHMARKS OFF CACHE BOOL "Build the Google Benchmark programs (not run as tests)")
set(MEMMGR_GTEST_FROM_SOURCE ON CACHE BOOL "Build GoogleTest from source with the project's compiler")
