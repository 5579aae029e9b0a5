/* memmgr-run's companion, preloaded before the library into the program it measures (which
 * knows nothing of either). It fixes the limit the tool was given, installs hooks that only
 * count, and sends the tool a record of the budget's figures every interval from a thread of
 * its own, and one more at exit. Loaded without the tool's settings it does nothing and
 * forwards every call it intercepts.
 *
 * The hooks run inside the program's allocations: they count with relaxed atomics and never
 * allocate, lock or make a system call (clock_gettime is answered in user space). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <memmgr>

#include "run_record.h"

static int channel = -1; /* the tool's socket; -1 while the companion is inert */
static pid_t owner;      /* the measured process: a fork of it sends nothing */
static long intervalNs;
static int64_t pressureThreshold = -1;
static GarbageCollectHook previousCollect;
static MemoryFullHandler previousMemoryFull;
static atomic_llong collections, overallocations, memoryFullEvents, pressureTime;
static atomic_uint unseen;

/* The library's own definition of a function this object also defines. */
static void* Real(char const* name) { return dlsym(RTLD_NEXT, name); }

static int64_t Now(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

static int CountCollection(size_t amount) {
  atomic_fetch_add_explicit(&collections, 1, memory_order_relaxed);
  return previousCollect ? previousCollect(amount) : 0;
}

static void CountOverallocation(size_t requested, int64_t total, int64_t limit) {
  (void)requested, (void)total, (void)limit;
  atomic_fetch_add_explicit(&overallocations, 1, memory_order_relaxed);
}

/* The default handler ends the process; it still does, after the count. */
static void CountMemoryFull(unsigned long requested) {
  atomic_fetch_add_explicit(&memoryFullEvents, 1, memory_order_relaxed);
  if (previousMemoryFull) previousMemoryFull(requested);
}

static void NotePressure(int64_t total, int64_t threshold) {
  (void)total, (void)threshold;
  atomic_store_explicit(&pressureTime, Now(), memory_order_relaxed);
}

/* The hook variables can be written by the program at any time; a hook of its own means
 * the tool's count of that event stops being the whole story. */
static unsigned Unseen(void) {
  if (__atomic_load_n(&GTMC_GarbageCollect, __ATOMIC_RELAXED) != CountCollection)
    atomic_fetch_or_explicit(&unseen, kUnseenGarbageCollect, memory_order_relaxed);
  if (__atomic_load_n(&GTMC_MemoryFull, __ATOMIC_RELAXED) != CountMemoryFull)
    atomic_fetch_or_explicit(&unseen, kUnseenMemoryFull, memory_order_relaxed);
  return atomic_load_explicit(&unseen, memory_order_relaxed);
}

/* Returns false when the tool has gone away. */
static bool Send(uint32_t kind) {
  struct RunRecord record = {
      .time = Now(),
      .total = GTMC_GetTotalUsedMemory(),
      .resident = GTMC_GetOSUsedMemory(),
      .peak = GTMC_GetPeakUsedMemory(),
      .limit = GTMC_GetTotalMemory(),
      .collections = atomic_load_explicit(&collections, memory_order_relaxed),
      .overallocations = atomic_load_explicit(&overallocations, memory_order_relaxed),
      .memoryFullEvents = atomic_load_explicit(&memoryFullEvents, memory_order_relaxed),
      .pressureTime = atomic_load_explicit(&pressureTime, memory_order_relaxed),
      .kind = kind,
      .unseen = Unseen(),
      .memoryFull = GTMC_IsMemoryFull(),
  };
  return send(channel, &record, sizeof record, MSG_NOSIGNAL) == (ssize_t)sizeof record;
}

static void* Sample(void* unused) {
  (void)unused;
  struct timespec next;
  clock_gettime(CLOCK_MONOTONIC, &next);
  do {
    next.tv_nsec += intervalNs;
    next.tv_sec += next.tv_nsec / 1000000000;
    next.tv_nsec %= 1000000000;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, NULL) != 0) {
    }
  } while (Send(kRunRecordSample));
  return NULL;
}

/* ---- The program's calls that would take the run's settings away ------------------------*/

int GTMC_SetMemoryAllocationRules(int64_t limit) {
  if (channel >= 0) return 0; /* the run fixes the limit, as VOQ_MAXIMUM_MEMORY would */
  int (*real)(int64_t);
  *(void**)&real = Real("GTMC_SetMemoryAllocationRules");
  return real(limit);
}

void GMM_SetOnOverallocation(OverallocationCallback callback) {
  if (channel >= 0 && callback != CountOverallocation)
    atomic_fetch_or_explicit(&unseen, kUnseenOverallocation, memory_order_relaxed);
  void (*real)(OverallocationCallback);
  *(void**)&real = Real("GMM_SetOnOverallocation");
  real(callback);
}

void GTMC_SetMemoryPressureCallback(int64_t threshold, MemoryPressureCallback callback) {
  if (channel >= 0 && pressureThreshold >= 0 && callback != NotePressure)
    atomic_fetch_or_explicit(&unseen, kUnseenPressure, memory_order_relaxed);
  void (*real)(int64_t, MemoryPressureCallback);
  *(void**)&real = Real("GTMC_SetMemoryPressureCallback");
  real(threshold, callback);
}

/* ---- Start and end ----------------------------------------------------------------------*/

/* The program's children are not measured: they get the environment the user gave. */
static void RestoreEnvironment(void) {
  char const* const preload = getenv(MEMMGR_RUN_PRELOAD);
  if (preload) {
    setenv("LD_PRELOAD", preload, 1);
  } else {
    unsetenv("LD_PRELOAD");
  }
  unsetenv(MEMMGR_RUN_PRELOAD);
  unsetenv(MEMMGR_RUN_SETTINGS);
}

/* Runs after the library's own initialiser (the library is this object's dependency), so the
 * limit set here is not overwritten by the library's start-up default. */
__attribute__((constructor)) static void Start(void) {
  char const* const settings = getenv(MEMMGR_RUN_SETTINGS);
  if (!settings) return;
  char* end;
  long long const fd = strtoll(settings, &end, 10);
  long long const limit = strtoll(end, &end, 10);
  long long const pressure = strtoll(end, &end, 10);
  long long const intervalUs = strtoll(end, &end, 10);
  bool const valid = *end == '\0' && fd >= 0 && fd <= INT32_MAX && intervalUs > 0;
  RestoreEnvironment(); /* after the parse: `settings` points into the environment */
  if (!valid) return;

  int (*setRules)(int64_t);
  void (*setOverallocation)(OverallocationCallback);
  void (*setPressure)(int64_t, MemoryPressureCallback);
  *(void**)&setRules = Real("GTMC_SetMemoryAllocationRules");
  *(void**)&setOverallocation = Real("GMM_SetOnOverallocation");
  *(void**)&setPressure = Real("GTMC_SetMemoryPressureCallback");
  setRules(limit < 0 ? INT64_MAX : limit);
  previousCollect = GTMC_GarbageCollect;
  GTMC_GarbageCollect = CountCollection;
  previousMemoryFull = GTMC_MemoryFull;
  GTMC_MemoryFull = CountMemoryFull;
  setOverallocation(CountOverallocation);
  if (pressure >= 0) {
    pressureThreshold = pressure;
    setPressure(pressure, NotePressure);
  }

  owner = getpid();
  intervalNs = (long)(intervalUs * 1000);
  channel = (int)fd;
  fcntl(channel, F_SETFD, FD_CLOEXEC);
  if (!Send(kRunRecordStart)) return;
  /* The sampler takes none of the program's signals. */
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  pthread_t sampler;
  if (pthread_create(&sampler, NULL, Sample, NULL) == 0) {
    pthread_setname_np(sampler, "memmgr-run");
    pthread_detach(sampler);
  }
  pthread_sigmask(SIG_SETMASK, &previous, NULL);
}

/* Runs after the program's own destructors, so the final total is what the program left. */
__attribute__((destructor)) static void Finish(void) {
  if (channel >= 0 && getpid() == owner) Send(kRunRecordFinal);
}
