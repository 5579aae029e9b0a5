/* What the companion preloaded into the measured program and memmgr-run share: one page of
 * memory (a System V segment the tool creates and the companion attaches), which the
 * program's descriptor games cannot take away and which outlives the program.
 * The companion writes into it twice at most: once at start (where the figures live, so that
 * the tool can read them from outside with process_vm_readv), once at exit or exec (the
 * figures then, read by the tool after the program has gone). Shared by the C companion and
 * the C++ tool; both are built from the same tree, so the layout needs no versioning. */
#ifndef MEMMGR_RUN_PAGE_H
#define MEMMGR_RUN_PAGE_H

#include <stdint.h>
#include <time.h>

/* The environment variable through which the tool hands the companion its settings:
 * "<id of the page's segment> <limit or -1 for none> <pressure threshold or -1>". The
 * companion removes the variable and puts LD_PRELOAD back as the user had it (from
 * MEMMGR_RUN_PRELOAD, absent when there was none), so the program's children run plainly. */
#define MEMMGR_RUN_SETTINGS "MEMMGR_RUN"
#define MEMMGR_RUN_PRELOAD "MEMMGR_RUN_PRELOAD"
/* With --sites: "<id of the sites segment>", for the site sampler preloaded in front of the
 * library (sites_area.h). The sampler only reads it, with its own scan of `environ` (never
 * getenv, which a shell may define as its own); the companion removes it with the other two.
 * The loader runs the companion's constructor before the sampler's (both depend on the library
 * alone, and constructor priorities order only one object's own), so the companion first
 * calls the sampler's memmgr_run_sites_take_settings() (a weak reference, null without
 * --sites) and only then removes the variables. An image started by an exec of the measured
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
  kRunPageStarted = 1, /* the limit is set and the addresses are in place */
  kRunPageExited = 2,  /* `last` holds the figures after the program's exit handlers */
  kRunPageReplaced = 3 /* `last` holds the figures just before an exec of `replacement` */
};

/* The figures of one moment, as the summary reports them. */
struct RunFigures {
  int64_t total;            /* accounted bytes in use, unclamped */
  int64_t peak;             /* the highest total of the run, across the program's resets */
  int64_t limit;            /* the limit in force */
  int64_t collections;      /* calls to the garbage-collect hook */
  int64_t overallocations;  /* requests admitted over the limit */
  int64_t memoryFullEvents; /* firings of the memory-full handler */
  int64_t pressureTime;     /* CLOCK_MONOTONIC ns of the first crossing of --pressure, or 0 */
  uint32_t memoryFull;      /* GTMC_IsMemoryFull */
  uint32_t pressureUnseen;  /* the program armed a pressure callback of its own */
};

/* The companion's own figures, in the program's memory, read from outside with the library's.
 * The cookie is the run's: finding it tells the tool the image it reads is the one it started
 * (an exec replaces the memory behind the address). Written with relaxed atomic stores. */
struct CompanionState {
  uint64_t cookie;
  int64_t earlierPeak;  /* the highest peak the program's GTMC_ResetPeakUsedMemory replaced */
  int64_t pressureTime; /* as in RunFigures */
  uint32_t pressureUnseen;
  uint32_t reserved;
};

struct RunPage {
  uint64_t cookie;          /* written by the tool before the program starts */
  uint32_t state;           /* kRunPage*: stored last (release) by the companion */
  uint32_t defaultHandler;  /* the memory-full handler at exit is still the library's own */
  uint64_t figureLocations; /* address of the library's mmgr_figure_locations in the program */
  uint64_t companionState;  /* address of the companion's CompanionState in the program */
  struct RunFigures last;   /* for kRunPageExited and kRunPageReplaced */
  int64_t execTime;         /* for kRunPageReplaced: CLOCK_MONOTONIC ns when the exec was made */
  char replacement[256];    /* for kRunPageReplaced: the file the program exec'd, cut short */
};

#endif /* MEMMGR_RUN_PAGE_H */
