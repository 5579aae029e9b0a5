/* The interface as a C host sees it: the memory-full handler installed, spent and re-armed
 * with mmgr_set_memory_full. The program allocates nothing else through the library, so the
 * figures move by its own calls alone. */
#include <stdio.h>

#include "memmgr"

static int failures;
#define CHECK(condition)                                              \
  do {                                                                \
    if (!(condition)) {                                               \
      fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #condition); \
      ++failures;                                                     \
    }                                                                 \
  } while (0)

static int fired, otherFired;
static size_t lastRequest;
static void Record(size_t request) {
  ++fired;
  lastRequest = request;
}
static void Other(size_t request) {
  (void)request;
  ++otherFired;
}

/* A request over the limit, with nothing to collect and no over-allocation: refused. */
static void Refused(size_t size) {
  void* const block = mmgr_malloc(size);
  CHECK(block == NULL);
}

int main(void) {
  MemoryFullHandler const initial = GTMC_MemoryFull;
  GTMC_GarbageCollect = NULL;
  GMM_EnableOverallocation(false);
  GTMC_SetMemoryAllocationRules(GTMC_GetTotalUsedMemory() + 4096);

  CHECK(mmgr_set_memory_full(Record) == initial);
  CHECK(GTMC_MemoryFull == Record);
  Refused(1 << 20);
  CHECK(fired == 1 && lastRequest == 1 << 20);
  CHECK(GTMC_IsMemoryFull());
  /* Spent until installed again: further refusals do not fire it. */
  Refused(2 << 20);
  CHECK(fired == 1);
  /* The same handler installed again is re-armed. */
  CHECK(mmgr_set_memory_full(Record) == Record);
  Refused(3 << 20);
  CHECK(fired == 2 && lastRequest == 3 << 20);
  /* A plain assignment changes the handler without re-arming it. */
  GTMC_MemoryFull = Other;
  Refused(4 << 20);
  CHECK(fired == 2 && otherFired == 0);
  /* A null handler is accepted and skipped. */
  CHECK(mmgr_set_memory_full(NULL) == Other);
  Refused(5 << 20);
  CHECK(fired == 2);
  CHECK(mmgr_set_memory_full(initial) == NULL);
  CHECK(GTMC_MemoryFull == initial);
  return failures == 0 ? 0 : 1;
}
