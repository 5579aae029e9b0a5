/* The header as strict C11: it compiles without a warning, and a C host links and assigns the
 * hook variables directly. Behaviour is the other suites' business. */
#include "memmgr"

static int Collect(size_t amount) { return amount == 0; }

int main(void) {
  GTMC_GarbageCollect = Collect;
  void* const block = mmgr_aligned_alloc(64, 10);
  bool const ok = block != NULL && GTMC_MemoryFull != NULL && !GTMC_IsMemoryFull();
  mmgr_aligned_free(block);
  return ok ? 0 : 1;
}
