# SPDX-License-Identifier: Apache-2.0
# aarch64 Linux with clang 14, using the headers, libstdc++ and binutils of Debian's cross
# g++ (g++-aarch64-linux-gnu); tests run under qemu-aarch64.
include(${CMAKE_CURRENT_LIST_DIR}/aarch64-common.cmake)

set(CMAKE_C_COMPILER clang-14)
set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_C_COMPILER_TARGET aarch64-linux-gnu)
set(CMAKE_CXX_COMPILER_TARGET aarch64-linux-gnu)
