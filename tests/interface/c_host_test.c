/* SPDX-License-Identifier: Apache-2.0
 * The interface as a C host sees it: the memory-full handler installed, spent and re-armed
 * with mmgr_set_memory_full, and the errno every refusal leaves. The program allocates nothing else
 * through the library, so the figures move by its own calls alone. */
#include <errno.h>
#include <stdint.h>
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
static void* nested;
/* Asks for the same again, which is refused too: the handler is spent before it runs, so the
 * nested refusal must not fire it a second time. */
static void Record(size_t request) {
  ++fired;
  lastRequest = request;
  nested = mmgr_malloc(request);
}
static void Other(size_t request) {
  (void)request;
  ++otherFired;
}

/* A request over the limit, with nothing to collect and no over-allocation: refused. */
static void Refused(size_t size) {
  errno = 0;
  void* const block = mmgr_malloc(size);
  CHECK(block == NULL);
  CHECK(errno == ENOMEM);
}

int main(void) {
  MemoryFullHandler const initial = GTMC_MemoryFull;
  GTMC_GarbageCollect = NULL;
  GMM_EnableOverallocation(false);
  GTMC_SetMemoryAllocationRules(GTMC_GetTotalUsedMemory() + 4096);

  CHECK(mmgr_set_memory_full(Record) == initial);
  CHECK(GTMC_MemoryFull == Record);
  Refused(1 << 20);
  CHECK(fired == 1 && lastRequest == 1 << 20 && nested == NULL);
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
  /* SIZE_MAX passes the budget (rounded, it wraps to 0) and the system allocator refuses it;
   * the recovery sequence runs all the same and ends with the same errno. */
  CHECK(mmgr_set_memory_full(Record) == NULL);
  errno = 0;
  CHECK(mmgr_malloc(SIZE_MAX) == NULL && errno == ENOMEM);
  CHECK(fired == 3 && lastRequest == SIZE_MAX);
  errno = 0;
  CHECK(mmgr_calloc(SIZE_MAX / 2, 3) == NULL && errno == ENOMEM);
  errno = 0;
  CHECK(mmgr_realloc(NULL, SIZE_MAX - 8) == NULL && errno == ENOMEM);
  CHECK(mmgr_set_memory_full(initial) == Record);
  CHECK(GTMC_MemoryFull == initial);
  return failures == 0 ? 0 : 1;
}
