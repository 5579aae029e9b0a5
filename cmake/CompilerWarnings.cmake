# SPDX-License-Identifier: Apache-2.0
# One interface target carries the warning set, so every library, test and example
# is held to the same standard (and CI turns them into errors).
add_library(memmgr_warnings INTERFACE)
target_compile_options(memmgr_warnings INTERFACE -Wall -Wextra -Wpedantic
  $<$<BOOL:${MEMMGR_WERROR}>:-Werror>)
