/* memmgr-run's companion, preloaded before the library into the program it measures (which
 * knows nothing of either). It runs no thread and keeps no descriptor: at start it fixes the
 * limit the tool was given and tells the tool, through the page they share, where the figures
 * live, so that the tool reads them from outside (run_page.h); at exit, and before an exec, it
 * leaves the figures of that moment in the page. Loaded without the tool's settings it does
 * nothing and forwards every call it intercepts.
 *
 * After start it makes no system call of its own on the program's behalf, except getpid()
 * before an exec: a program may confine itself with seccomp, and a filter that kills on a
 * call the program never makes must not be tripped by the companion at exit. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/shm.h>
#include <unistd.h>

#include <memmgr>

#include "run_page.h"

static struct RunPage* page; /* null while the companion is inert */
static pid_t owner;          /* the measured process: a child of it leaves the page alone */
static bool forked;          /* set in a child made by fork(), which runs no exec check */
static struct mmgr_figure_locations const* figures;
static struct CompanionState state;
static MemoryFullHandler defaultMemoryFull;
static bool pressureArmed;

/* The C library's functions this object defines in front of it; the library's own are
 * exported through their declarations in <memmgr>. */
#define EXPORTED __attribute__((visibility("default")))

/* The next definition of a function this object also defines: the library's, or the C
 * library's. */
static void* Real(char const* name) { return dlsym(RTLD_NEXT, name); }

/* With --sites, the site sampler keeps a relay of its own in GTMC_MemoryFull and reports the
 * handler the program set; the library's variable is the program's otherwise. */
extern MemoryFullHandler memmgr_run_sites_memory_full_handler(void) __attribute__((weak));

static MemoryFullHandler ProgramMemoryFull(void) {
  if (memmgr_run_sites_memory_full_handler) return memmgr_run_sites_memory_full_handler();
  return __atomic_load_n(&GTMC_MemoryFull, __ATOMIC_RELAXED);
}

static int64_t Load64(void const* at) {
  return __atomic_load_n((int64_t const*)at, __ATOMIC_RELAXED);
}

static void NotePressure(int64_t total, int64_t threshold) {
  (void)total, (void)threshold;
  int64_t expected = 0;
  __atomic_compare_exchange_n(&state.pressureTime, &expected, memmgr_run_now(), false,
                              __ATOMIC_RELAXED, __ATOMIC_RELAXED);
}

/* The figures now, for the page; plain loads only. */
static void WriteLast(uint32_t kind) {
  int64_t const peak = Load64(figures->peak);
  int64_t const earlier = __atomic_load_n(&state.earlierPeak, __ATOMIC_RELAXED);
  page->last = (struct RunFigures){
      .total = Load64(figures->total),
      .peak = peak > earlier ? peak : earlier,
      .limit = Load64(figures->limit),
      .collections = Load64(figures->collections),
      .overallocations = Load64(figures->overallocations),
      .memoryFullEvents = Load64(figures->memoryFullEvents),
      .pressureTime = __atomic_load_n(&state.pressureTime, __ATOMIC_RELAXED),
      .memoryFull = __atomic_load_n((bool const*)figures->memoryFull, __ATOMIC_RELAXED),
      .pressureUnseen = __atomic_load_n(&state.pressureUnseen, __ATOMIC_RELAXED),
  };
  page->defaultHandler = ProgramMemoryFull() == defaultMemoryFull;
  __atomic_store_n(&page->state, kind, __ATOMIC_RELEASE);
}

static bool IsOwner(void) { return page != NULL && !forked; }

/* ---- The program's calls that would take the run's settings or figures away -------------*/

int GTMC_SetMemoryAllocationRules(int64_t limit) {
  if (page) return 0; /* the run fixes the limit, as VOQ_MAXIMUM_MEMORY would */
  int (*real)(int64_t);
  *(void**)&real = Real("GTMC_SetMemoryAllocationRules");
  return real(limit);
}

int64_t GTMC_ResetPeakUsedMemory(void) {
  int64_t (*real)(void);
  *(void**)&real = Real("GTMC_ResetPeakUsedMemory");
  int64_t const replaced = real();
  int64_t seen = __atomic_load_n(&state.earlierPeak, __ATOMIC_RELAXED);
  while (replaced > seen && !__atomic_compare_exchange_n(&state.earlierPeak, &seen, replaced, true,
                                                         __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {
  }
  return replaced;
}

void GTMC_SetMemoryPressureCallback(int64_t threshold, MemoryPressureCallback callback) {
  if (page && pressureArmed && callback != NotePressure)
    __atomic_store_n(&state.pressureUnseen, 1, __ATOMIC_RELAXED);
  void (*real)(int64_t, MemoryPressureCallback);
  *(void**)&real = Real("GTMC_SetMemoryPressureCallback");
  real(threshold, callback);
}

/* ---- Exec: the figures before the image goes, and what replaced it ------------------------*/

/* The site sampler's last snapshot, when it is loaded (--sites). */
extern void memmgr_run_sites_at_end(void) __attribute__((weak));

/* Notes an exec about to happen. A child that shares the program's memory (vfork,
 * posix_spawn) runs this too, so the process is asked who it is. */
static bool NoteExec(char const* file) {
  if (!IsOwner() || getpid() != owner) return false;
  if (memmgr_run_sites_at_end) memmgr_run_sites_at_end();
  strncpy(page->replacement, file ? file : "", sizeof page->replacement - 1);
  page->execTime = memmgr_run_now();
  WriteLast(kRunPageReplaced);
  return true;
}

/* The exec failed: the program goes on. */
static void ExecFailed(bool noted) {
  if (noted) __atomic_store_n(&page->state, kRunPageStarted, __ATOMIC_RELEASE);
}

/* `real`: the C library's definition of `name`. */
#define REAL_EXEC(name)   \
  __typeof__(&name) real; \
  *(void**)&real = Real(#name)

EXPORTED int execve(char const* file, char* const argv[], char* const envp[]) {
  REAL_EXEC(execve);
  bool const noted = NoteExec(file);
  int const result = real(file, argv, envp);
  ExecFailed(noted);
  return result;
}

EXPORTED int execv(char const* file, char* const argv[]) {
  REAL_EXEC(execv);
  bool const noted = NoteExec(file);
  int const result = real(file, argv);
  ExecFailed(noted);
  return result;
}

EXPORTED int execvp(char const* file, char* const argv[]) {
  REAL_EXEC(execvp);
  bool const noted = NoteExec(file);
  int const result = real(file, argv);
  ExecFailed(noted);
  return result;
}

EXPORTED int execvpe(char const* file, char* const argv[], char* const envp[]) {
  REAL_EXEC(execvpe);
  bool const noted = NoteExec(file);
  int const result = real(file, argv, envp);
  ExecFailed(noted);
  return result;
}

EXPORTED int fexecve(int fd, char* const argv[], char* const envp[]) {
  REAL_EXEC(fexecve);
  bool const noted = NoteExec(argv[0] ? argv[0] : "");
  int const result = real(fd, argv, envp);
  ExecFailed(noted);
  return result;
}

EXPORTED int execveat(int dirfd, char const* file, char* const argv[], char* const envp[],
                      int flags) {
  REAL_EXEC(execveat);
  bool const noted = NoteExec(*file ? file : argv[0] ? argv[0] : "");
  int const result = real(dirfd, file, argv, envp, flags);
  ExecFailed(noted);
  return result;
}

/* The list forms gather their arguments on the stack, as the C library's own do. */
#define GATHER(first, arguments, extra)                               \
  va_list count;                                                      \
  va_start(count, first);                                             \
  size_t n = 1;                                                       \
  while (va_arg(count, char*) != NULL) ++n;                           \
  va_end(count);                                                      \
  char* arguments[n + 1];                                             \
  va_list list;                                                       \
  va_start(list, first);                                              \
  arguments[0] = (char*)(first);                                      \
  for (size_t i = 1; i <= n; ++i) arguments[i] = va_arg(list, char*); \
  extra;                                                              \
  va_end(list)

EXPORTED int execl(char const* file, char const* first, ...) {
  GATHER(first, arguments, (void)0);
  return execv(file, arguments);
}

EXPORTED int execlp(char const* file, char const* first, ...) {
  GATHER(first, arguments, (void)0);
  return execvp(file, arguments);
}

EXPORTED int execle(char const* file, char const* first, ...) {
  char* const* envp;
  GATHER(first, arguments, envp = va_arg(list, char* const*));
  return execve(file, arguments, envp);
}

/* ---- Start and end ----------------------------------------------------------------------*/

static void InChild(void) { forked = true; }

/* The site sampler (--sites) reads its variable before it goes; see run_page.h. */
extern void memmgr_run_sites_take_settings(void) __attribute__((weak));

/* The program's children are not measured: they get the environment the user gave. */
static void RestoreEnvironment(void) {
  if (memmgr_run_sites_take_settings) memmgr_run_sites_take_settings();
  char const* const preload = getenv(MEMMGR_RUN_PRELOAD);
  if (preload) {
    setenv("LD_PRELOAD", preload, 1);
  } else {
    unsetenv("LD_PRELOAD");
  }
  unsetenv(MEMMGR_RUN_PRELOAD);
  unsetenv(MEMMGR_RUN_SETTINGS);
  unsetenv(MEMMGR_RUN_SITES);
}

/* Runs after the library's own initialiser (the library is this object's dependency), so the
 * limit set here is not overwritten by the library's start-up default. */
__attribute__((constructor)) static void Start(void) {
  char const* const settings = getenv(MEMMGR_RUN_SETTINGS);
  if (!settings) return;
  int id = -1, end = 0;
  long long limit = -1, pressure = -1;
  bool const valid =
      sscanf(settings, "%d %lld %lld%n", &id, &limit, &pressure, &end) == 3 && settings[end] == 0;
  void* const attached = valid ? shmat(id, NULL, 0) : (void*)-1;
  struct RunPage* const shared = attached == (void*)-1 ? NULL : attached;
  RestoreEnvironment(); /* after the parse: `settings` points into the environment */
  if (!shared) return;

  int (*setRules)(int64_t);
  void (*setPressure)(int64_t, MemoryPressureCallback);
  *(void**)&setRules = Real("GTMC_SetMemoryAllocationRules");
  *(void**)&setPressure = Real("GTMC_SetMemoryPressureCallback");
  setRules(limit < 0 ? INT64_MAX : limit);
  if (pressure >= 0) {
    pressureArmed = true;
    setPressure(pressure, NotePressure);
  }
  defaultMemoryFull = ProgramMemoryFull();
  figures = mmgr_get_figure_locations();
  owner = getpid();
  pthread_atfork(NULL, NULL, InChild);
  state.cookie = shared->cookie;
  shared->figureLocations = (uintptr_t)figures;
  shared->companionState = (uintptr_t)&state;
  page = shared;
  __atomic_store_n(&page->state, kRunPageStarted, __ATOMIC_RELEASE);
}

/* Runs after the program's own destructors, so the final total is what the program left. */
__attribute__((destructor)) static void Finish(void) {
  if (IsOwner()) WriteLast(kRunPageExited);
}
