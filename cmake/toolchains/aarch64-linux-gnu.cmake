# SPDX-License-Identifier: Apache-2.0
# aarch64 Linux with Debian's cross g++ (g++-aarch64-linux-gnu); tests run under qemu-aarch64.
include(${CMAKE_CURRENT_LIST_DIR}/aarch64-common.cmake)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
