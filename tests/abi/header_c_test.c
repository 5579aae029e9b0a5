/* SPDX-License-Identifier: Apache-2.0
 * The header as strict C11: it compiles without a warning, a C host links and assigns the
 * hook variables directly, and the version macros are the ones project() declares (passed in
 * as MEMMGR_PROJECT_VERSION*). Behaviour is the other suites' business. */
#include <string.h>

#include "memmgr"

#if MEMMGR_VERSION_MAJOR != MEMMGR_PROJECT_VERSION_MAJOR || \
    MEMMGR_VERSION_MINOR != MEMMGR_PROJECT_VERSION_MINOR || \
    MEMMGR_VERSION_PATCH != MEMMGR_PROJECT_VERSION_PATCH
#error "the version numbers of <memmgr> are not the project's"
#endif

static int Collect(size_t amount) { return amount == 0; }

int main(void) {
  GTMC_GarbageCollect = Collect;
  void* const block = mmgr_aligned_alloc(64, 10);
  bool const ok = block != NULL && GTMC_MemoryFull != NULL && !GTMC_IsMemoryFull() &&
                  strcmp(MEMMGR_VERSION, MEMMGR_PROJECT_VERSION) == 0;
  mmgr_aligned_free(block);
  return ok ? 0 : 1;
}
