/* SPDX-License-Identifier: Apache-2.0
 * What the site sampler preloaded into the measured program (with --sites) and memmgr-run
 * share: one System V segment of fixed size, created by the tool, attached by the sampler and
 * marked for removal at once. The sampler writes call stacks (raw return addresses), the
 * modules they fall in and the snapshots of live bytes per stack; the tool reads it all after
 * the program has gone and symbolizes there. Nothing in it is allocated from the program's
 * heap or accounted, and nothing grows: what does not fit is counted as dropped.
 * The measured process claims it with its first image; each later image of the process (after
 * an exec) starts it afresh, so that it always describes the last image that ran the sampler,
 * the same one whose figures the companion leaves in the run page.
 * Shared by the C++ sampler and the C++ tool, built from the same tree. */
#ifndef MEMMGR_RUN_SITES_AREA_H
#define MEMMGR_RUN_SITES_AREA_H

#include <stdint.h>

#include "preload/run_page.h"

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

#endif /* MEMMGR_RUN_SITES_AREA_H */
