/* A C11 host of the library: the header compiles cleanly as strict C, and the calls link and
 * behave. Exits non-zero on any failure. */
#include <string.h>
#include <wchar.h>

#include "memmgr"

static int Collect(size_t amount) { return amount == 0; }

int main(void) {
  int64_t const used = GTMC_GetTotalUsedMemory();
  char* const copy = FF_strdup("from C");
  wchar_t* const wide = FF_wcsdup(L"wide");
  int* const zeroed = (int*)mmgr_calloc(16, sizeof(int));
  void* const aligned = mmgr_aligned_alloc(64, 10);
  bool ok = copy && strcmp(copy, "from C") == 0 && wide && wcscmp(wide, L"wide") == 0 &&
            zeroed && zeroed[15] == 0 && aligned && ((uintptr_t)aligned & 63) == 0;
  mmgr_free(copy);
  mmgr_free(wide);
  mmgr_free(mmgr_realloc(zeroed, 4000));
  mmgr_aligned_free(aligned);
  ok = ok && GTMC_GetTotalUsedMemory() == used && mmgr_malloc_good_size(17) == 32;

  /* The hooks are plain variables a C host assigns; over the limit, the collector is asked
   * first, then the request is over-allocated. */
  GTMC_GarbageCollect = Collect;
  ok = ok && GTMC_SetMemoryAllocationRules(used) == 0 && GTMC_MemoryFull != NULL;
  void* const over = mmgr_malloc(1 << 20);
  ok = ok && over && GTMC_GetFreeMemory() == 0 && !GTMC_IsMemoryFull();
  mmgr_free(over);
  return ok ? 0 : 1;
}
