/* SPDX-License-Identifier: Apache-2.0
 * What the companion preloaded into the measured program and memmgr-run share: one page of
 * memory (a System V segment the tool creates and the companion attaches), which the
 * program's descriptor games cannot take away and which outlives the program.
 * The companion of each image the program becomes writes into it twice at most: once at start
 * (where the figures live, so that the tool can read them from outside with process_vm_readv,
 * and the figures then, so that a program that ends before the tool's first reading still has
 * one), once at exit or exec (the figures then, read by the tool after the image has gone). Shared
 * by the C companion and the C++ tool; both are built from the same tree, so the layout needs no
 * versioning. */
#ifndef MEMMGR_RUN_PAGE_H
#define MEMMGR_RUN_PAGE_H

#include <stdint.h>
#include <time.h>

/* The environment variable through which the tool hands the companion its settings:
 * "<id of the page's segment> <limit or -1 for none> <pressure threshold or -1> <id of the sites
 * segment or -1> <the tool's process id> <the tool's preload list>" (the list holds no space:
 * the tool refuses such paths). Only a process whose parent is the tool is measured.
 * MEMMGR_RUN_PRELOAD holds the user's own LD_PRELOAD, absent when there was none. What becomes
 * of each, in the measured images and in their children, is in exec_rules.c. */
#define MEMMGR_RUN_SETTINGS "MEMMGR_RUN"
#define MEMMGR_RUN_PRELOAD "MEMMGR_RUN_PRELOAD"
/* With --sites: "<id of the sites segment>", for the site sampler preloaded in front of the
 * library (sites_area.h). The sampler only reads it, with its own scan of `environ` (never
 * getenv, which a shell may define as its own); the companion removes it with the other two.
 * The loader runs the constructors of preloaded objects from the last listed to the first,
 * and the sampler is listed after the companion; the companion still calls the sampler's
 * memmgr_run_sites_take_settings() (a weak reference, null without --sites) before it removes
 * the variables, so the order does not matter. An image started by an exec of the measured
 * process reads it again the same way. */
#define MEMMGR_RUN_SITES "MEMMGR_RUN_SITES"

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

/* Whether an image gets the preload (exec_rules.h), PROGRAM or an exec of the measured
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
  int64_t total;            /* accounted bytes in use, unclamped */
  int64_t peak;             /* the highest total of the run, across the program's resets */
  int64_t limit;            /* the limit in force */
  int64_t collections;      /* calls to the garbage-collect hook */
  int64_t overallocations;  /* requests admitted over the limit */
  int64_t memoryFullEvents; /* firings of the memory-full handler */
  int64_t pressureTime;     /* CLOCK_MONOTONIC ns of the first crossing of --pressure, or 0 */
  int64_t children;         /* processes started by this image and those it was exec'd from */
  uint32_t memoryFull;      /* GTMC_IsMemoryFull */
  uint32_t pressureUnseen;  /* the program armed a pressure callback of its own */
  uint32_t ownNew;          /* the program's own operator new wins over the library's */
  uint32_t reserved;
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
  uint32_t pressureUnseen;
  uint32_t ownNew;
  uint32_t image;
  uint32_t reserved;
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

#endif /* MEMMGR_RUN_PAGE_H */
