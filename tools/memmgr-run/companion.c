/* memmgr-run's companion, preloaded before the library into the program it measures (which
 * knows nothing of either). It fixes the limit the tool was given, installs hooks that only
 * count, and sends the tool a record of the budget's figures when it starts, every interval
 * and at exit. Loaded without the tool's settings it does nothing and forwards every call it
 * intercepts.
 *
 * The hooks run inside the program's allocations: they count with relaxed atomics and never
 * allocate, lock or make a system call (clock_gettime is answered in user space).
 *
 * The sampler is a thread the C library does not know of. Once a process has had a second
 * thread of the C library's, its allocator and the C++ runtime take their thread-safe paths
 * (locks, atomic operations) for good: on an allocation-heavy single-threaded program, a
 * thread that only sleeps cost 3% to 4% of its run time (docs/performance.md). So on x86-64 and
 * arm64 the sampler is started with a bare clone and runs on a stack of its own, making its
 * system calls itself: it never enters the C library, whose functions would read or write
 * the thread-local data of the thread that started it (errno, cancellation state), and calls
 * only the library's statistics, which are plain loads bound at load time (-z now). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <memmgr>

#include "run_record.h"

static int channel = -1;    /* the tool's socket; -1 while the companion is inert */
static pid_t owner;         /* the measured process: a fork of it sends nothing */
static int statm = -1;      /* /proc/self/statm, for the sampler */
static dev_t channelDevice; /* the socket's identity: a program that closes descriptors it */
static ino_t channelInode;  /* did not open may have another file under the same number */
static long intervalNs, pageSize;
static int64_t pressureThreshold = -1;
static GarbageCollectHook previousCollect;
static MemoryFullHandler previousMemoryFull;
static atomic_llong collections, overallocations, memoryFullEvents, pressureTime;
static atomic_llong earlierPeak; /* the highest peak the program's resets have replaced */
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

/* The peak of the whole run, though the program may reset the library's to measure phases. */
static int64_t RunPeak(void) {
  int64_t const now = GTMC_GetPeakUsedMemory();
  int64_t const earlier = atomic_load_explicit(&earlierPeak, memory_order_relaxed);
  return now > earlier ? now : earlier;
}

static struct RunRecord Record(uint32_t kind, int64_t time, int64_t resident) {
  struct RunRecord const record = {
      .time = time,
      .total = GTMC_GetTotalUsedMemory(),
      .resident = resident,
      .peak = RunPeak(),
      .limit = GTMC_GetTotalMemory(),
      .collections = atomic_load_explicit(&collections, memory_order_relaxed),
      .overallocations = atomic_load_explicit(&overallocations, memory_order_relaxed),
      .memoryFullEvents = atomic_load_explicit(&memoryFullEvents, memory_order_relaxed),
      .pressureTime = atomic_load_explicit(&pressureTime, memory_order_relaxed),
      .kind = kind,
      .unseen = Unseen(),
      .memoryFull = GTMC_IsMemoryFull(),
  };
  return record;
}

static bool IsChannel(struct stat const* status) {
  return status->st_dev == channelDevice && status->st_ino == channelInode;
}

/* From the program's own threads (start and exit). */
static void Send(uint32_t kind) {
  struct stat status;
  if (fstat(channel, &status) != 0 || !IsChannel(&status)) return;
  struct RunRecord const record = Record(kind, Now(), GTMC_GetOSUsedMemory());
  send(channel, &record, sizeof record, MSG_NOSIGNAL);
}

#if defined(__x86_64__) || defined(__aarch64__)

/* A system call that leaves errno alone: the result, or -errno. */
static long Bare(long number, long a, long b, long c, long d, long e, long f) {
#if defined(__x86_64__)
  register long r10 __asm__("r10") = d;
  register long r8 __asm__("r8") = e;
  register long r9 __asm__("r9") = f;
  long result;
  __asm__ volatile("syscall"
                   : "=a"(result)
                   : "a"(number), "D"(a), "S"(b), "d"(c), "r"(r10), "r"(r8), "r"(r9)
                   : "rcx", "r11", "memory");
  return result;
#else
  register long x8 __asm__("x8") = number;
  register long x0 __asm__("x0") = a;
  register long x1 __asm__("x1") = b;
  register long x2 __asm__("x2") = c;
  register long x3 __asm__("x3") = d;
  register long x4 __asm__("x4") = e;
  register long x5 __asm__("x5") = f;
  __asm__ volatile("svc 0"
                   : "+r"(x0)
                   : "r"(x8), "r"(x1), "r"(x2), "r"(x3), "r"(x4), "r"(x5)
                   : "memory");
  return x0;
#endif
}

/* The second field of /proc/self/statm, in bytes; 0 when it cannot be read. */
static int64_t Resident(void) {
  char text[128];
  long const length = Bare(SYS_pread64, statm, (long)text, sizeof text - 1, 0, 0, 0);
  if (length <= 0) return 0;
  text[length] = '\0';
  char const* at = text;
  while (*at != ' ' && *at != '\0') ++at;
  int64_t pages = 0;
  for (++at; *at >= '0' && *at <= '9'; ++at) pages = pages * 10 + (*at - '0');
  return pages * pageSize;
}

static int Sample(void* unused) {
  (void)unused;
  struct timespec next;
  Bare(SYS_clock_gettime, CLOCK_MONOTONIC, (long)&next, 0, 0, 0, 0);
  for (;;) {
    next.tv_nsec += intervalNs;
    next.tv_sec += next.tv_nsec / 1000000000;
    next.tv_nsec %= 1000000000;
    Bare(SYS_clock_nanosleep, CLOCK_MONOTONIC, TIMER_ABSTIME, (long)&next, 0, 0, 0);
    struct timespec now;
    Bare(SYS_clock_gettime, CLOCK_MONOTONIC, (long)&now, 0, 0, 0, 0);
    struct RunRecord const record =
        Record(kRunRecordSample, (int64_t)now.tv_sec * 1000000000 + now.tv_nsec, Resident());
    /* The tool has gone, or the program closed the socket: the thread ends (the function
     * returns into the exit of the thread that glibc's clone placed after it). */
    struct stat status;
    if (Bare(SYS_fstat, channel, (long)&status, 0, 0, 0, 0) != 0 || !IsChannel(&status) ||
        Bare(SYS_sendto, channel, (long)&record, sizeof record, MSG_NOSIGNAL, 0, 0) < 0)
      return 0;
  }
}

static void StartSampler(void) {
  size_t const stackSize = 64 * 1024;
  void* const stack =
      mmap(NULL, stackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (stack == MAP_FAILED) return;
  clone(Sample, (char*)stack + stackSize,
        CLONE_VM | CLONE_FS | CLONE_FILES | CLONE_SIGHAND | CLONE_THREAD | CLONE_SYSVSEM, NULL);
}

#else /* elsewhere an ordinary thread, at the cost described above */

static void* Sample(void* unused) {
  (void)unused;
  struct timespec next;
  clock_gettime(CLOCK_MONOTONIC, &next);
  for (;;) {
    next.tv_nsec += intervalNs;
    next.tv_sec += next.tv_nsec / 1000000000;
    next.tv_nsec %= 1000000000;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, NULL) != 0) {
    }
    struct RunRecord const record = Record(kRunRecordSample, Now(), GTMC_GetOSUsedMemory());
    struct stat status;
    if (fstat(channel, &status) != 0 || !IsChannel(&status) ||
        send(channel, &record, sizeof record, MSG_NOSIGNAL) < 0)
      return NULL;
  }
}

static void StartSampler(void) {
  pthread_t sampler;
  if (pthread_create(&sampler, NULL, Sample, NULL) == 0) pthread_detach(sampler);
}

#endif

/* ---- The program's calls that would take the run's settings or figures away -------------*/

int GTMC_SetMemoryAllocationRules(int64_t limit) {
  if (channel >= 0) return 0; /* the run fixes the limit, as VOQ_MAXIMUM_MEMORY would */
  int (*real)(int64_t);
  *(void**)&real = Real("GTMC_SetMemoryAllocationRules");
  return real(limit);
}

int64_t GTMC_ResetPeakUsedMemory(void) {
  int64_t (*real)(void);
  *(void**)&real = Real("GTMC_ResetPeakUsedMemory");
  int64_t const replaced = real();
  long long seen = atomic_load_explicit(&earlierPeak, memory_order_relaxed);
  while (replaced > seen && !atomic_compare_exchange_weak(&earlierPeak, &seen, replaced)) {
  }
  return replaced;
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
  struct stat status;
  bool const valid = *end == '\0' && fd >= 0 && fd <= INT32_MAX && intervalUs > 0 &&
                     fstat((int)fd, &status) == 0 && S_ISSOCK(status.st_mode);
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
  channelDevice = status.st_dev;
  channelInode = status.st_ino;
  channel = (int)fd;
  fcntl(channel, F_SETFD, FD_CLOEXEC);
  statm = open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
  pageSize = sysconf(_SC_PAGESIZE);
  Send(kRunRecordStart);
  /* The sampler takes none of the program's signals: it starts with all of them blocked. */
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  StartSampler();
  pthread_sigmask(SIG_SETMASK, &previous, NULL);
}

/* Runs after the program's own destructors, so the final total is what the program left. */
__attribute__((destructor)) static void Finish(void) {
  if (channel >= 0 && getpid() == owner) Send(kRunRecordFinal);
}
