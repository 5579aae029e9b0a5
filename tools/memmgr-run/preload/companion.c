/* SPDX-License-Identifier: Apache-2.0
 * memmgr-run's companion, preloaded before the library into the program it measures (which
 * knows nothing of either). It runs no thread and keeps no descriptor: at start it fixes the
 * limit the tool was given and tells the tool, through the page they share, where the figures
 * live, so that the tool reads them from outside (preload.h); at exit, and before an exec, it
 * leaves the figures of that moment in the page. With --sites it starts the sampler
 * (sampler.cpp). Loaded without the tool's settings it does nothing and forwards every call it
 * intercepts.
 *
 * What is measured is one process and the images it execs, never its children. So at start the
 * companion takes the tool's entries out of the process's environment, and puts them back only
 * into the environment of an exec the measured process itself makes (env, nice, a script's
 * final exec), whose image is then measured under the same limit and reports to the same page.
 * It counts the children the process starts, for the summary.
 *
 * After start it makes no system call of its own on the program's behalf except at an exec
 * (getpid, and reading the file to be run): a program may confine itself with seccomp, and a
 * filter that kills on a call the program never makes must not be tripped by the companion at
 * exit. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <sched.h>
#include <spawn.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <unistd.h>

#include <memmgr>

#include "preload.h"

static struct RunPage* page; /* null while the companion is inert */
static pid_t owner;          /* the measured process: a child of it leaves the page alone */
static bool forked;          /* set in a child made by fork() or clone(), which is not measured */
static uint32_t image;       /* this image's number in the run */
static uint32_t execsBefore; /* the execs that led to this image */
static struct mmgr_figure_locations const* figures;
static struct CompanionState state;
static MemoryFullHandler defaultMemoryFull;
/* The last child counted; shared with a child that shares the memory (vfork), which counts
 * itself at its exec, so that the parent's own wrapper does not count it again. */
static pid_t lastCountedChild;

/* What an exec of the measured process hands on, kept from start in static storage, since
 * the environment no longer holds it and an exec may come from a vfork child or a signal
 * handler where nothing can be allocated: the tool's settings entry as it came, which names
 * the preload list. */
static char settingsEntry[sizeof MEMMGR_RUN_SETTINGS "=" + 96 + 4 * PATH_MAX];
static char const* toolPreloads; /* in settingsEntry; null when the settings did not fit */

/* An exec's environment is built on the stack; past these bounds (entries, and bytes of the
 * entries written afresh) the exec goes on without the tool's entries, unmeasured, and the page
 * says so. */
enum { kMaxFollowedEntries = 4096, kMaxExecText = 2 * 4096 + sizeof settingsEntry };

/* The C library's functions this object defines in front of it; the library's own are
 * exported through their declarations in <memmgr>. */
#define EXPORTED __attribute__((visibility("default")))

/* The next definition of a function this object also defines: the library's, or the C
 * library's. */
static void* Real(char const* name) { return dlsym(RTLD_NEXT, name); }

/* `real`: the next definition of `name`. */
#define NEXT(name)        \
  __typeof__(&name) real; \
  *(void**)&real = Real(#name)

static int64_t Load64(void const* at) {
  return __atomic_load_n((int64_t const*)at, __ATOMIC_RELAXED);
}

/* ---- The pressure signal: --pressure, and the moment of the peak ------------------------*/

/* The library's one pressure signal serves three: the next height worth noting (preload.h,
 * PeakMoment), --pressure while that has not been crossed, and the program's own arming, which
 * the companion keeps here (GTMC_SetMemoryPressureCallback below) and answers as the library
 * would: once per arming, on the allocating thread, with the signal already off. The library's
 * is armed at the lowest of the three, and each firing notes what it crossed and arms it again,
 * from inside the allocation, which the library allows. */
static void (*armSignal)(int64_t, MemoryPressureCallback); /* the library's own setter */
static int64_t pressureAt = -1;                            /* --pressure; -1 for none */
static int64_t programThreshold = INT64_MAX;               /* INT64_MAX: not armed */
static MemoryPressureCallback programCallback;

static void NotePressure(void) {
  int64_t expected = 0;
  __atomic_compare_exchange_n(&state.pressureTime, &expected, memmgr_run_now(), false,
                              __ATOMIC_RELAXED, __ATOMIC_RELAXED);
}

static bool PressurePending(void) {
  return pressureAt >= 0 && __atomic_load_n(&state.pressureTime, __ATOMIC_RELAXED) == 0;
}

static void NoteRise(int64_t total, int64_t threshold);

/* The program's arming, into `program`, is taken by exchange, so that one step alone answers
 * it: true when `total` is above it and this step took it. */
static bool TakeProgramArming(int64_t total, int64_t* program) {
  *program = __atomic_load_n(&programThreshold, __ATOMIC_ACQUIRE);
  return total > *program && __atomic_compare_exchange_n(&programThreshold, program, INT64_MAX,
                                                         false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
}

static int64_t NextRise(void) {
  int64_t const noted = __atomic_load_n(&state.peakMoment.total, __ATOMIC_RELAXED);
  int64_t const margin = memmgr_run_peak_margin(noted);
  int64_t next = noted > INT64_MAX - margin ? INT64_MAX : noted + margin;
  if (PressurePending() && pressureAt < next) next = pressureAt;
  int64_t const program = __atomic_load_n(&programThreshold, __ATOMIC_SEQ_CST);
  return program < next ? program : next;
}

/* Threads may arm at once, each with what it read: each checks after arming that no lower
 * height came in meanwhile. Every arming and every new threshold of the program's is followed by
 * a read-modify-write of `armings`, whose one order makes either the later arming see the
 * height, or the arming of that height come last: so the lowest is armed in the end. */
static uint64_t armings;

static void ArmRise(void) {
  for (int64_t armed = INT64_MAX, next; (next = NextRise()) < armed; armed = next) {
    armSignal(next, NoteRise);
    __atomic_fetch_add(&armings, 1, __ATOMIC_SEQ_CST);
  }
}

/* On the allocating thread, once per arming. The signal is off while this runs: a crossing by
 * another thread meanwhile is caught once it is armed again. */
static void NoteRise(int64_t total, int64_t threshold) {
  (void)threshold;
  if (pressureAt >= 0 && total > pressureAt) NotePressure();
  if (total > __atomic_load_n(&state.peakMoment.total, __ATOMIC_RELAXED)) {
    int64_t const now = memmgr_run_now();
    __atomic_store_n(&state.peakMoment.time, now, __ATOMIC_RELAXED);
    __atomic_store_n(&state.peakMoment.total, total, __ATOMIC_RELAXED);
    __atomic_store_n(&state.peakMoment.check, memmgr_run_peak_check(now, total), __ATOMIC_RELAXED);
  }
  int64_t program;
  bool const programFires = TakeProgramArming(total, &program);
  MemoryPressureCallback const callback = __atomic_load_n(&programCallback, __ATOMIC_RELAXED);
  ArmRise();
  if (PressurePending() && Load64(figures->total) > pressureAt) NotePressure();
  if (programFires && callback) callback(total, program);
}

/* Before the run's start the library's signal answers the program alone, through this: an
 * arming it answered then is taken, and not answered again once the run re-arms. */
static void AnswerProgramBeforeStart(int64_t total, int64_t threshold) {
  (void)threshold;
  int64_t program;
  MemoryPressureCallback const callback = __atomic_load_n(&programCallback, __ATOMIC_RELAXED);
  if (TakeProgramArming(total, &program) && callback) callback(total, program);
}

/* At start: the total now is the first height. An arming the program made before (a library's
 * constructor) goes on as the program's. */
static void StartRises(void (*setter)(int64_t, MemoryPressureCallback), int64_t pressure) {
  armSignal = setter;
  pressureAt = pressure;
  int64_t const now = memmgr_run_now();
  int64_t const total = Load64(figures->total);
  state.peakMoment = (struct PeakMoment){now, total, memmgr_run_peak_check(now, total)};
  ArmRise();
}

/* The figures now, into the page; plain loads only. */
static void RecordFigures(void) {
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
      .children = __atomic_load_n(&state.children, __ATOMIC_RELAXED),
      .memoryFull = __atomic_load_n((bool const*)figures->memoryFull, __ATOMIC_RELAXED),
      .ownNew = state.ownNew,
      .peakMoment = {__atomic_load_n(&state.peakMoment.time, __ATOMIC_RELAXED),
                     __atomic_load_n(&state.peakMoment.total, __ATOMIC_RELAXED),
                     __atomic_load_n(&state.peakMoment.check, __ATOMIC_RELAXED)},
  };
  page->lastTime = memmgr_run_now();
}

/* Every field the tool reads at the end is written again, so that a program that scribbled over
 * the page and then ended normally is still reported from its own figures. */
static void WriteLast(uint32_t kind) {
  RecordFigures();
  page->defaultHandler = memmgr_run_program_memory_full() == defaultMemoryFull;
  page->execs = execsBefore + (kind == kRunPageReplaced);
  __atomic_store_n(&page->image, image, __ATOMIC_RELAXED);
  __atomic_store_n(&page->state, kind, __ATOMIC_RELEASE);
}

static bool IsOwner(void) { return page != NULL && !forked; }

/* One more child started. `child` 0: its id is not known. */
static void CountChild(pid_t child) {
  if (child > 0 && __atomic_exchange_n(&lastCountedChild, child, __ATOMIC_RELAXED) == child) return;
  __atomic_fetch_add(&state.children, 1, __ATOMIC_RELAXED);
}

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
  /* Off first, so that no step answers the old threshold with the new callback. */
  __atomic_store_n(&programThreshold, INT64_MAX, __ATOMIC_SEQ_CST);
  __atomic_store_n(&programCallback, callback, __ATOMIC_RELAXED);
  if (callback && threshold >= 0) __atomic_store_n(&programThreshold, threshold, __ATOMIC_SEQ_CST);
  __atomic_fetch_add(&armings, 1, __ATOMIC_SEQ_CST);
  if (armSignal) {
    ArmRise();
    return;
  }
  /* Before the run's start, or without the tool: the library's own signal. */
  void (*real)(int64_t, MemoryPressureCallback);
  *(void**)&real = Real("GTMC_SetMemoryPressureCallback");
  real(threshold, callback ? AnswerProgramBeforeStart : NULL);
}

/* ---- The settings, kept for execs -------------------------------------------------------*/

/* "<page> <limit> <pressure> <sites> <tool> <preload list>"; the entry kept for execs. */
static bool ParseSettings(char const* settings, int* pageId, long long* limit, long long* pressure,
                          int* sitesId, int* tool) {
  int listAt = 0;
  if (sscanf(settings, "%d %lld %lld %d %d %n", pageId, limit, pressure, sitesId, tool, &listAt) !=
          5 ||
      listAt == 0 || settings[listAt] == 0 || strchr(settings + listAt, ' '))
    return false;
  int const prefix = (int)sizeof MEMMGR_RUN_SETTINGS "=" - 1;
  int const written = snprintf(settingsEntry, sizeof settingsEntry, "%s", settings - prefix);
  if (written > 0 && (size_t)written < sizeof settingsEntry)
    toolPreloads = settingsEntry + prefix + listAt;
  return true;
}

/* ---- Exec: the figures before the image goes, and what replaced it ------------------------*/

/* Notes an exec of the measured process about to happen; `kind` kRunExecFollowed: with the
 * tool's entries, so that the next image reports here too. */
static void NoteExec(char const* file, uint32_t kind) {
  memmgr_run_sampling_at_end();
  char* const step = page->steps[execsBefore < kRunChainSteps ? execsBefore : kRunChainSteps - 1];
  size_t const length = strlen(file);
  size_t const from = length < kRunStepChars ? 0 : length - (kRunStepChars - 1);
  memcpy(step, file + from, length - from);
  step[length - from] = 0;
  page->unfollowed = kind;
  page->execTime = memmgr_run_now();
  WriteLast(kRunPageReplaced);
}

/* The exec failed: the program goes on. */
static void ExecFailed(void) {
  page->execs = execsBefore;
  __atomic_store_n(&page->state, kRunPageStarted, __ATOMIC_RELEASE);
}

/* Every exec function, as one of four calls with the environment left open. */
enum ExecForm { kExecve, kExecvpe, kFexecve, kExecveat };
struct ExecCall {
  enum ExecForm form;
  char const* file; /* "" for kFexecve */
  int fd, flags;
  char* const* argv;
};

static int CallExec(struct ExecCall const* call, char* const envp[]) {
  switch (call->form) {
    case kExecvpe: {
      NEXT(execvpe);
      return real(call->file, call->argv, envp);
    }
    case kFexecve: {
      NEXT(fexecve);
      return real(call->fd, call->argv, envp);
    }
    case kExecveat: {
      NEXT(execveat);
      return real(call->fd, call->file, call->argv, envp, call->flags);
    }
    default: {
      NEXT(execve);
      return real(call->file, call->argv, envp);
    }
  }
}

/* In the measured process, an exec of an image that will run the companion again gets the
 * tool's entries back (exec_rules.c), on the stack, since an exec may come from where nothing
 * can be allocated. A child that shares the program's memory (vfork, clone) runs this too, so
 * the process is asked who it is before anything else; such a child is counted, and runs
 * plainly. */
static int Exec(struct ExecCall const* call, char* const envp[]) {
  if (!IsOwner() || call->file == NULL) return CallExec(call, envp); /* null: EFAULT, no exec */
  pid_t const self = getpid();
  if (self != owner) {
    CountChild(self);
    return CallExec(call, envp);
  }
  bool const byDescriptor = call->form == kFexecve || (call->form == kExecveat && *call->file == 0);
  char const* const name =
      byDescriptor ? (call->argv && call->argv[0] ? call->argv[0] : "") : call->file;
  char found[kExecPathRoom];
  uint32_t kind =
      call->form != kExecvpe
          ? memmgr_run_exec_target(call->form == kExecve ? AT_FDCWD : call->fd, call->file, NULL)
      : memmgr_run_find_program(call->file, memmgr_run_value(environ, "PATH"), found)
          ? memmgr_run_exec_target(AT_FDCWD, found, NULL)
          : kRunExecFollowed;
  size_t count = 0;
  while (envp != NULL && envp[count] != NULL) ++count;
  size_t const text =
      toolPreloads ? memmgr_run_measured_environment(envp, toolPreloads, NULL, NULL, NULL) : 0;
  if (kind == kRunExecFollowed &&
      (!toolPreloads || count > kMaxFollowedEntries || text > kMaxExecText))
    kind = kRunExecTooLarge;
  bool const followed = kind == kRunExecFollowed;
  char* measured[followed ? count + 4 : 1];
  char entries[followed ? text : 1];
  if (followed)
    memmgr_run_measured_environment(envp, toolPreloads, settingsEntry, measured, entries);
  NoteExec(name, kind);
  int const result = CallExec(call, followed ? measured : envp);
  ExecFailed();
  return result;
}

EXPORTED int execve(char const* file, char* const argv[], char* const envp[]) {
  return Exec(&(struct ExecCall){.form = kExecve, .file = file, .argv = argv}, envp);
}

EXPORTED int execv(char const* file, char* const argv[]) {
  return Exec(&(struct ExecCall){.form = kExecve, .file = file, .argv = argv}, environ);
}

EXPORTED int execvp(char const* file, char* const argv[]) {
  return Exec(&(struct ExecCall){.form = kExecvpe, .file = file, .argv = argv}, environ);
}

EXPORTED int execvpe(char const* file, char* const argv[], char* const envp[]) {
  return Exec(&(struct ExecCall){.form = kExecvpe, .file = file, .argv = argv}, envp);
}

EXPORTED int fexecve(int fd, char* const argv[], char* const envp[]) {
  return Exec(&(struct ExecCall){.form = kFexecve, .file = "", .fd = fd, .argv = argv}, envp);
}

EXPORTED int execveat(int dirfd, char const* file, char* const argv[], char* const envp[],
                      int flags) {
  return Exec(
      &(struct ExecCall){
          .form = kExecveat, .file = file, .fd = dirfd, .flags = flags, .argv = argv},
      envp);
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

/* ---- Children: counted, and not measured ------------------------------------------------*/

/* The C library's own children (posix_spawn's, system's, popen's) are exec'd inside the C
 * library, past these wrappers: they get the program's environment, which holds nothing of
 * the tool's. */

EXPORTED pid_t fork(void) {
  NEXT(fork);
  pid_t const child = real();
  if (child > 0 && IsOwner()) CountChild(child);
  return child;
}

EXPORTED int posix_spawn(pid_t* pid, char const* path, posix_spawn_file_actions_t const* actions,
                         posix_spawnattr_t const* attributes, char* const argv[],
                         char* const envp[]) {
  NEXT(posix_spawn);
  int const error = real(pid, path, actions, attributes, argv, envp);
  if (error == 0 && IsOwner()) CountChild(pid ? *pid : 0);
  return error;
}

EXPORTED int posix_spawnp(pid_t* pid, char const* file, posix_spawn_file_actions_t const* actions,
                          posix_spawnattr_t const* attributes, char* const argv[],
                          char* const envp[]) {
  NEXT(posix_spawnp);
  int const error = real(pid, file, actions, attributes, argv, envp);
  if (error == 0 && IsOwner()) CountChild(pid ? *pid : 0);
  return error;
}

EXPORTED int system(char const* command) {
  NEXT(system);
  int const status = real(command);
  if (status != -1 && IsOwner()) CountChild(0);
  return status;
}

EXPORTED FILE* popen(char const* command, char const* mode) {
  NEXT(popen);
  FILE* const stream = real(command, mode);
  if (stream && IsOwner()) CountChild(0);
  return stream;
}

/* A child made by clone() with its own copy of the memory is told so as it starts, as fork's
 * is by the C library's fork handlers. */
struct ClonedStart {
  int (*function)(void*);
  void* argument;
};

static int StartCloned(void* start) {
  struct ClonedStart const* const cloned = start; /* in the child's copy of the caller's frame */
  forked = true;
  memmgr_run_stop_sampling();
  return cloned->function(cloned->argument);
}

EXPORTED int clone(int (*function)(void*), void* stack, int flags, void* argument, ...) {
  /* The optional arguments come in order, each only as far as the flags ask for one. */
  pid_t* parentTid = NULL;
  void* tls = NULL;
  pid_t* childTid = NULL;
  int const wantsChildTid = CLONE_CHILD_SETTID | CLONE_CHILD_CLEARTID;
  int const wantsTls = CLONE_SETTLS | wantsChildTid;
  va_list optional;
  va_start(optional, argument);
#ifndef CLONE_PIDFD
#define CLONE_PIDFD 0
#endif
  if (flags & (CLONE_PARENT_SETTID | CLONE_PIDFD | wantsTls)) parentTid = va_arg(optional, pid_t*);
  if (flags & wantsTls) tls = va_arg(optional, void*);
  if (flags & wantsChildTid) childTid = va_arg(optional, pid_t*);
  va_end(optional);
  NEXT(clone);
  struct ClonedStart start = {function, argument};
  bool const ownMemory = (flags & CLONE_VM) == 0;
  int const child = real(ownMemory ? StartCloned : function, stack, flags,
                         ownMemory ? (void*)&start : argument, parentTid, tls, childTid);
  if (child > 0 && (flags & CLONE_THREAD) == 0 && IsOwner()) CountChild(child);
  return child;
}

/* ---- Start and end ----------------------------------------------------------------------*/

static void InChild(void) {
  forked = true;
  memmgr_run_stop_sampling();
}

/* An operator new linked into the executable wins over a preloaded one: the program's C++
 * allocations then never reach the library. */
static bool OwnOperatorNew(void) {
  void* const winner = dlsym(RTLD_DEFAULT, sizeof(size_t) == 8 ? "_Znwm" : "_Znwj");
  void* library;
  *(__typeof__(&mmgr_get_figure_locations)*)&library = mmgr_get_figure_locations;
  Dl_info found, ours;
  return winner && dladdr(winner, &found) && dladdr(library, &ours) &&
         found.dli_fbase != ours.dli_fbase;
}

/* Runs after the library's own initialiser (the library is this object's dependency), so the
 * limit set here is not overwritten by the library's start-up default. */
__attribute__((constructor)) static void Start(void) {
  char const* const settings = memmgr_run_take_environment(environ);
  if (!settings) return;
  int id = -1, sitesId = -1, tool = 0;
  long long limit = -1, pressure = -1;
  /* Only the tool's own child is measured: a process that was handed the settings some other
   * way (a copy of the environment) leaves the page alone. */
  bool const measured =
      ParseSettings(settings, &id, &limit, &pressure, &sitesId, &tool) && getppid() == tool;
  void* const attached = measured ? shmat(id, NULL, 0) : (void*)-1;
  if (attached == (void*)-1) return;
  struct RunPage* const shared = attached;
  /* A child, however it is made, gets no view of the page. */
  madvise(attached, sizeof *shared, MADV_DONTFORK);

  int (*setRules)(int64_t);
  void (*setPressure)(int64_t, MemoryPressureCallback);
  *(void**)&setRules = Real("GTMC_SetMemoryAllocationRules");
  *(void**)&setPressure = Real("GTMC_SetMemoryPressureCallback");
  setRules(limit < 0 ? INT64_MAX : limit);
  if (sitesId >= 0) memmgr_run_start_sampling(sitesId);
  defaultMemoryFull = memmgr_run_program_memory_full();
  figures = mmgr_get_figure_locations();
  StartRises(setPressure, pressure);
  owner = getpid();
  pthread_atfork(NULL, NULL, InChild);

  /* An image exec'd by a measured one carries the chain on: the execs so far, and the
   * children its predecessors started. */
  uint32_t const before = __atomic_load_n(&shared->state, __ATOMIC_ACQUIRE);
  if (before != kRunPageEmpty) {
    uint32_t const execs = shared->execs;
    execsBefore = execs < (1u << 20) ? execs : 1u << 20;
  }
  if (before == kRunPageReplaced && shared->last.children > 0)
    state.children = shared->last.children;
  image = shared->image + 1 != 0 ? shared->image + 1 : 1;
  state.cookie = shared->cookie;
  state.image = image;
  state.ownNew = OwnOperatorNew();
  shared->figureLocations = (uintptr_t)figures;
  shared->companionState = (uintptr_t)&state;
  shared->execs = execsBefore;
  __atomic_store_n(&shared->image, image, __ATOMIC_RELEASE);
  page = shared;
  /* The first reading: a program may end (by a signal, or _exit as dash does) before the tool's
   * first one, and what it had accounted by then is still true. */
  RecordFigures();
  __atomic_store_n(&page->state, kRunPageStarted, __ATOMIC_RELEASE);
}

/* Runs after the program's own destructors, so the final total is what the program left.
 * A child made by a direct system call (no fork handler ran) that runs exit handlers would
 * fault here on the page it does not have; telling it apart would take a system call at every
 * exit, which a confined program may forbid. */
__attribute__((destructor)) static void Finish(void) {
  if (!IsOwner()) return;
  memmgr_run_sampling_at_end();
  WriteLast(kRunPageExited);
}
