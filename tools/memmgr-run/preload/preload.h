/* SPDX-License-Identifier: Apache-2.0
 * What memmgr-run loads into the program it measures (the preload: companion.c, sampler.cpp and
 * exec_rules.c, one shared object in front of the library) and what the tool shares with it.
 *
 * The page: one System V segment the tool creates and the companion attaches, which the
 * program's descriptor games cannot take away and which outlives the program. The companion of
 * each image the program becomes writes into it twice at most: once at start (where the figures
 * live, so that the tool can read them from outside with process_vm_readv, and the figures then,
 * so that a program that ends before the tool's first reading still has one), once at exit or
 * exec (the figures then, read by the tool after the image has gone).
 *
 * The sites area (--sites): a second segment of fixed size, which the sampler fills with call
 * stacks (raw return addresses), the modules they fall in and snapshots of live bytes per stack;
 * the tool symbolizes it after the program has gone. Nothing in it is allocated from the
 * program's heap or accounted, and nothing grows: what does not fit is counted as dropped. The
 * measured process claims it with its first image; each later image (after an exec) starts it
 * afresh, so that it describes the last image that sampled, the one whose figures the page
 * holds.
 *
 * Both sides are built from the same tree, so the layouts need no versioning. */
#ifndef MEMMGR_RUN_PRELOAD_H
#define MEMMGR_RUN_PRELOAD_H

#include <limits.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include <memmgr>

/* The environment variable through which the tool hands the companion its settings:
 * "<id of the page's segment> <limit or -1 for none> <pressure threshold or -1> <id of the sites
 * segment or -1> <the tool's process id> <the tool's preload list>" (the list holds no space:
 * the tool refuses such paths). Only a process whose parent is the tool is measured.
 * MEMMGR_RUN_PRELOAD holds the user's own LD_PRELOAD, absent when there was none. What becomes
 * of each, in the measured images and in their children, is in exec_rules.c. */
#define MEMMGR_RUN_SETTINGS "MEMMGR_RUN"
#define MEMMGR_RUN_PRELOAD "MEMMGR_RUN_PRELOAD"

/* The clock of every time the tool, the companion and the sampler exchange: CLOCK_MONOTONIC in
 * nanoseconds, answered in user space (the vDSO), so no system call of the program's. */
static inline int64_t memmgr_run_now(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

/* RunPage.state */
enum {
  kRunPageEmpty = 0,   /* the companion has not started (yet) */
  kRunPageStarted = 1, /* the limit is set, the addresses of image `image` are in place, and
                          `last` holds its figures at `lastTime` (its start, or an exec that
                          failed) */
  kRunPageExited = 2,  /* `last` holds the figures after the program's exit handlers */
  kRunPageReplaced = 3 /* `last` holds the figures just before the exec of the last step */
};

/* Whether an image gets the preload (exec_rules.c), PROGRAM or an exec of the measured
 * process; in RunPage.unfollowed, why the last exec went on without the tool's settings. */
enum {
  kRunExecFollowed = 0,  /* it gets them; an image that never started had no loader for them */
  kRunExecTooLarge = 1,  /* its environment was too large to add them on the stack */
  kRunExecStatic = 2,    /* no dynamic loader: nothing can be preloaded */
  kRunExecSetId = 3,     /* set-ID or with file capabilities: the loader ignores LD_PRELOAD */
  kRunExecSanitized = 4, /* needs a sanitizer's runtime, which refuses to come after a preload */
  kRunExecForeign = 5    /* built for another machine or word size than the library */
};

/* The images a run keeps the names of: the first steps, and the latest in the last slot. */
enum { kRunChainSteps = 8, kRunStepChars = 200 };

/* When the accounted total last climbed to a height the companion notes: above the highest it
 * had noted by more than memmgr_run_peak_margin() of that. Whatever the program does later, its
 * peak is then no more than that margin above `total`. Written by the allocating thread that
 * crossed the height while the tool may be reading it: `check` (memmgr_run_peak_check of the
 * two) tells a pair read whole from one torn by a write. `time` 0: none noted. */
struct PeakMoment {
  int64_t time; /* CLOCK_MONOTONIC ns */
  int64_t total;
  uint64_t check;
};

/* A 64-bit mix of the pair: a pair read half before and half after a write does not match. */
static inline uint64_t memmgr_run_peak_check(int64_t time, int64_t total) {
  uint64_t mixed = (uint64_t)time + 0x9e3779b97f4a7c15u;
  mixed = (mixed ^ (mixed >> 30)) * 0xbf58476d1ce4e5b9u;
  mixed = (mixed ^ (mixed >> 27)) * 0x94d049bb133111ebu;
  return (mixed ^ (mixed >> 31)) ^ (uint64_t)total;
}

/* How far the total must climb above a noted height `total` before the next one is noted:
 * 1/64 of it, at least 64 KiB, so that a program that grows steadily notes a few hundred at
 * most and one that allocates and frees around the same height none. */
static inline int64_t memmgr_run_peak_margin(int64_t total) {
  int64_t const share = total / 64;
  return share > 65536 ? share : 65536;
}

/* The figures of one moment, as the summary reports them. */
struct RunFigures {
  int64_t total;                /* accounted bytes in use, unclamped */
  int64_t peak;                 /* the highest total of the run, across the program's resets */
  int64_t limit;                /* the limit in force */
  int64_t collections;          /* calls to the garbage-collect hook */
  int64_t overallocations;      /* requests admitted over the limit */
  int64_t memoryFullEvents;     /* firings of the memory-full handler */
  int64_t pressureTime;         /* CLOCK_MONOTONIC ns of the first crossing of --pressure, or 0 */
  int64_t children;             /* processes started by this image and those it was exec'd from */
  uint32_t memoryFull;          /* GTMC_IsMemoryFull */
  uint32_t ownNew;              /* the program's own operator new wins over the library's */
  struct PeakMoment peakMoment; /* the highest noted so far in this image */
};

/* The companion's own figures, in the program's memory, read from outside with the library's.
 * The cookie is the run's and `image` the number of the image: finding both tells the tool the
 * memory it reads is the image it located (an exec replaces the memory behind the address, and
 * the next image's companion may sit at the same one). Written with relaxed atomic stores. */
struct CompanionState {
  uint64_t cookie;
  int64_t earlierPeak;  /* the highest peak the program's GTMC_ResetPeakUsedMemory replaced */
  int64_t pressureTime; /* as in RunFigures */
  int64_t children;     /* as in RunFigures */
  uint32_t ownNew;
  uint32_t image;
  struct PeakMoment peakMoment; /* as in RunFigures */
};

/* Written by the companion of each image in turn, and read by the tool. The program can write
 * it too (it is mapped in its memory), so the tool takes nothing from it on trust: states it
 * does not know, strings without their terminator, times outside the run, negative counts. */
struct RunPage {
  uint64_t cookie;          /* written by the tool before the program starts */
  uint32_t state;           /* kRunPage*: stored last (release) by the companion */
  uint32_t image;           /* 1 for PROGRAM, one more for each exec followed (release) */
  uint64_t figureLocations; /* address of the library's mmgr_figure_locations in the image */
  uint64_t companionState;  /* address of the companion's CompanionState in the image */
  struct RunFigures last;   /* the figures at `lastTime`, as the state says */
  int64_t lastTime;         /* CLOCK_MONOTONIC ns when `last` was written */
  int64_t execTime;         /* CLOCK_MONOTONIC ns when the last exec noted was made */
  uint32_t defaultHandler;  /* the memory-full handler at exit is still the library's own */
  uint32_t execs;           /* the execs noted, the pending one included */
  uint32_t unfollowed;      /* kRunExec*, for the last exec noted */
  uint32_t reserved;
  /* The files exec'd in turn, as named to exec (the end of the name when it is longer); past
   * kRunChainSteps the last slot holds the latest. */
  char steps[kRunChainSteps][kRunStepChars];
};

/* ---- The sites area ------------------------------------------------------------------*/

enum {
  kSiteFrames = 48,    /* return addresses kept per stack, innermost first */
  kSiteStacks = 16384, /* distinct stacks */
  kSiteModules = 512,  /* loaded objects the stacks may point into */
  kSiteModulePath = 240,
  kMemoryFullSnapshots = 4, /* memory-full events snapshotted: the first few */
};

/* SitesArea.snapshots: which moment each slot holds. */
enum {
  kPeakSnapshot = 0,
  kFirstMemoryFullSnapshot = 1, /* memory-full-1 … memory-full-kMemoryFullSnapshots */
  kExitSnapshot = kFirstMemoryFullSnapshot + kMemoryFullSnapshots,
  kSnapshotSlots
};

struct SiteStack {
  uint32_t depth; /* frames used in `frames` */
  uint32_t reserved;
  uint64_t frames[kSiteFrames]; /* return addresses in the program, innermost first */
};

/* One object mapped into the program: [start, end) holds its loaded segments; an address
 * minus `bias` is the object's own address. Appended whenever a snapshot finds the loaded
 * set changed, so an object unloaded later is still known; the latest entry covering an
 * address wins. */
struct SiteModule {
  uint64_t start, end, bias;
  char path[kSiteModulePath]; /* as the loader names it; the main program's, /proc/self/exe */
};

/* Estimated live bytes per stack at one moment. `taken` is 0 for a slot never written. */
struct SiteSnapshot {
  uint32_t taken;      /* stored last (release) */
  uint32_t stackCount; /* stacks[0, stackCount) are the ones that existed then */
  int64_t total;       /* the accounted total when it was taken */
  int64_t time;        /* CLOCK_MONOTONIC ns */
  int64_t bytes[kSiteStacks];
};

struct SitesArea {
  int64_t interval;         /* the mean sample interval, in bytes */
  int64_t samples;          /* blocks sampled */
  int64_t droppedSamples;   /* sampled blocks the live set had no room for */
  int64_t droppedStacks;    /* samples whose stack the stack table had no room for */
  uint32_t stackCount;      /* stacks[0, stackCount) are written */
  uint32_t moduleCount;     /* modules[0, moduleCount) are written */
  uint32_t memoryFullCount; /* memory-full snapshot slots claimed, one per event */
  int32_t owner;            /* process id of the measured process, 0 until it attaches */
  struct SiteModule modules[kSiteModules];
  struct SiteStack stacks[kSiteStacks];
  struct SiteSnapshot snapshots[kSnapshotSlots];
};

/* ---- What an image gets: exec_rules.c ---------------------------------------------------
 * Decided in one place for the tool (PROGRAM) and the companion (each exec the measured process
 * makes), so that the two never disagree: whether the library is preloaded into an image, and
 * what of the environment it and its children inherit. Written for the companion's side, inside
 * a program that knows nothing of it: see exec_rules.c for what it may call. */

#ifdef __cplusplus
extern "C" {
#endif

enum { kExecPathRoom = PATH_MAX + 2 };

/* The file execvp would run for `file`, into `found`: `file` itself when it holds a slash, else
 * the first regular file on `path` (PATH's value; null: the C library's default) that the
 * caller may execute. False when there is none. */
bool memmgr_run_find_program(char const* file, char const* path, char found[kExecPathRoom]);

/* What exec would make of the preload for the file `path` names, relative to `directory` as
 * openat takes it ("": the file open as `directory`, as fexecve and AT_EMPTY_PATH): one of
 * kRunExec*. kRunExecFollowed: a dynamically linked program of this machine, a
 * script whose interpreter is one, or a file it cannot read or tell (exec decides). For
 * kRunExecSanitized `sanitizer` (if not null) is set to the sanitizer's name. */
uint32_t memmgr_run_exec_target(int directory, char const* path, char const** sanitizer);

/* The value `name` has in `environment` (null, or ending with a null), or null. */
char const* memmgr_run_value(char* const* environment, char const* name);

/* The environment an image of the measured process starts with: `environment` (what the exec
 * was given) without the entries the tool withholds, then LD_PRELOAD with the tool's list
 * `preloads` in front of the user's, MEMMGR_RUN_PRELOAD with the user's own (when it was set),
 * and the tool's entry `settings`. Returns the bytes of
 * `text` it needs; with `text` null it does nothing else, otherwise it fills `into`, which has
 * room for the entries of `environment` and 5 more, and `text`. */
size_t memmgr_run_measured_environment(char* const* environment, char const* preloads,
                                       char* settings, char** into, char* text);

/* Takes the tool's entries out of `environment` in place and puts LD_PRELOAD back as the user
 * had it, so that children run plainly. Returns MEMMGR_RUN's value, which stays in the
 * environment's strings, or null (and leaves it as it is) when there is none. */
char const* memmgr_run_take_environment(char** environment);

/* ---- The sampler, for the companion: sampler.cpp ------------------------------------------*/

/* Starts sampling into the sites segment `segment` for this image; false when it cannot. */
bool memmgr_run_start_sampling(int segment);
/* The snapshot of what is still accounted, as the image ends: at exit, or before an exec. */
void memmgr_run_sampling_at_end(void);
/* In a child, which is not measured: sampling goes off. */
void memmgr_run_stop_sampling(void);
/* The memory-full handler as the program set it, which GTMC_MemoryFull no longer shows while
 * the sampler's relay is in front of it. */
MemoryFullHandler memmgr_run_program_memory_full(void);

#ifdef __cplusplus
}
#endif

#endif /* MEMMGR_RUN_PRELOAD_H */
