/* A C11 host of the library: the header must compile cleanly as strict C, and the C family
 * and the statistics must be callable and behave from C. Exits non-zero on any failure. */
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "memmgr"

_Static_assert(sizeof(wchar_t) == 4, "FF_wcsdup copies 4-byte wide characters");
_Static_assert(sizeof(unsigned long) == 8, "hook and pass-through sizes are 64-bit");

static int failures = 0;

#define CHECK(condition)                                             \
  do {                                                               \
    if (!(condition)) {                                              \
      fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #condition); \
      ++failures;                                                    \
    }                                                                \
  } while (0)

static int collections = 0;
static int Collect(size_t amount) {
  (void)amount;
  ++collections;
  return 0;
}

int main(void) {
  int64_t const used = GTMC_GetTotalUsedMemory();
  int64_t const thread = GTMC_GetAllocationSizeInCurrentThread();

  char* const text = (char*)mmgr_malloc(100);
  CHECK(text != NULL);
  int64_t const textSize = (int64_t)mmgr_malloc_usable_size(text);
  CHECK(textSize >= 100);
  CHECK(GTMC_GetTotalUsedMemory() == used + textSize);
  CHECK(GTMC_GetAllocationSizeInCurrentThread() == thread + textSize);

  int* const zeroed = (int*)mmgr_calloc(16, sizeof(int));
  CHECK(zeroed != NULL && zeroed[0] == 0 && zeroed[15] == 0);
  void* const aligned = mmgr_aligned_alloc(64, 10);
  CHECK(aligned != NULL && ((uintptr_t)aligned & 63) == 0);
  char* const grown = (char*)mmgr_realloc(text, 4000);
  CHECK(grown != NULL);
  char* const copy = FF_strdup("from C");
  CHECK(copy != NULL && strcmp(copy, "from C") == 0);
  wchar_t* const wide = FF_wcsdup(L"wide");
  CHECK(wide != NULL && wcscmp(wide, L"wide") == 0);
  mmgr_free(grown);
  mmgr_free(zeroed);
  mmgr_aligned_free(aligned);
  mmgr_free(copy);
  mmgr_free(wide);
  CHECK(GTMC_GetTotalUsedMemory() == used);
  CHECK(GTMC_GetAllocationSizeInCurrentThread() == thread);

  CHECK(mmgr_malloc_good_size(17) == 32);
  CHECK(mmgr_malloc_usable_size(NULL) == 0);
  CHECK(mmgr_trim_memory() == 0);
  mmgr_check_consistency();

  int64_t limit = 0;
  int64_t reserved = -1;
  CHECK(GTMC_SetMemoryAllocationRules(used + (1 << 20)) == 0);
  GTMC_GetMemoryAllocationRules(&limit, &reserved);
  CHECK(limit == used + (1 << 20) && reserved == 0);
  CHECK(GTMC_GetTotalMemory() == limit && GTMC_GetTotalUseableMemory() == limit &&
        GTMC_GetTotalUseableMemoryApproximation() == limit);
  CHECK(GTMC_GetFreeMemory() == limit - GTMC_GetTotalUsedMemory());
  CHECK(GTMC_GetOSUsedMemory() > 0);
  GTMC_BeginAlloclessBlock();
  GTMC_EndAlloclessBlock();

  /* The hooks are plain variables a C host assigns. A request over the limit goes to the
   * collector first, then is over-allocated (enabled by default). */
  GarbageCollectHook const previous = GTMC_GarbageCollect;
  GTMC_GarbageCollect = Collect;
  GMM_SetOnOverallocation(NULL);
  GMM_EnableOverallocation(true);
  void* const over = mmgr_malloc(2 << 20);
  GTMC_GarbageCollect = previous;
  CHECK(over != NULL && collections > 0);
  CHECK(GTMC_GetFreeMemory() == 0);
  mmgr_free(over);
  CHECK(GTMC_MemoryFull != NULL);
  (void)GTMC_IsMemoryFull();

  if (failures == 0) puts("header works from C11");
  return failures == 0 ? 0 : 1;
}
