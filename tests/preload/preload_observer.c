/* Preloaded next to the library into a program that knows nothing of it. It installs a
 * garbage-collect hook and an over-allocation callback that only count (they run inside the
 * program's allocations, so they neither allocate nor lock), and at exit writes what it saw
 * to the file named by MEMMGR_OBSERVER_REPORT. */
#include <fcntl.h>
#include <memmgr>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

static atomic_llong peak, hookCalls, overallocations;

static void NotePeak(void) {
  long long const used = (long long)GTMC_GetTotalUsedMemory();
  long long seen = atomic_load_explicit(&peak, memory_order_relaxed);
  while (used > seen && !atomic_compare_exchange_weak(&peak, &seen, used)) {
  }
}

static int CountingHook(size_t amount) {
  (void)amount;
  atomic_fetch_add_explicit(&hookCalls, 1, memory_order_relaxed);
  NotePeak();
  return 0;
}

static void CountingCallback(size_t requested, int64_t total, int64_t limit) {
  (void)requested, (void)total, (void)limit;
  atomic_fetch_add_explicit(&overallocations, 1, memory_order_relaxed);
}

__attribute__((constructor)) static void Install(void) {
  GTMC_GarbageCollect = CountingHook;
  GMM_SetOnOverallocation(CountingCallback);
}

__attribute__((destructor)) static void Report(void) {
  GTMC_GarbageCollect = NULL;
  GMM_SetOnOverallocation(NULL);
  NotePeak();
  char const* const path = getenv("MEMMGR_OBSERVER_REPORT");
  if (!path) return;
  char text[256];
  int const length = snprintf(text, sizeof text,
                              "used=%lld\npeak=%lld\nhook_calls=%lld\noverallocations=%lld\n",
                              (long long)GTMC_GetTotalUsedMemory(), atomic_load(&peak),
                              atomic_load(&hookCalls), atomic_load(&overallocations));
  int const fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return;
  if (write(fd, text, (size_t)length) != length) unlink(path);
  close(fd);
}
