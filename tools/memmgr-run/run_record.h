/* What the companion preloaded into the measured program tells memmgr-run, one fixed-size
 * record per message on a SOCK_SEQPACKET socket (so a message is never split or merged and a
 * closed reader cannot raise SIGPIPE in the program). Shared by the C companion and the C++
 * tool; both are built from the same tree, so the layout needs no versioning. */
#ifndef MEMMGR_RUN_RECORD_H
#define MEMMGR_RUN_RECORD_H

#include <stdint.h>

/* The environment variable through which the tool hands the companion its settings:
 * "<socket fd> <limit or -1 for none> <pressure threshold or -1> <interval in microseconds>".
 * The companion removes it, and puts LD_PRELOAD back as the user had it (from
 * MEMMGR_RUN_PRELOAD, absent when there was none), so the program's own children run plain. */
#define MEMMGR_RUN_SETTINGS "MEMMGR_RUN"
#define MEMMGR_RUN_PRELOAD "MEMMGR_RUN_PRELOAD"

enum {
  kRunRecordStart = 1,  /* the companion is in place and the limit is set */
  kRunRecordSample = 2, /* one point of the timeline */
  kRunRecordFinal = 3   /* written at exit, after the program's own destructors */
};

/* Figures the program took away from the companion by installing hooks of its own. */
enum {
  kUnseenGarbageCollect = 1u << 0,
  kUnseenOverallocation = 1u << 1,
  kUnseenMemoryFull = 1u << 2,
  kUnseenPressure = 1u << 3
};

struct RunRecord {
  int64_t time;            /* CLOCK_MONOTONIC, ns */
  int64_t total;           /* GTMC_GetTotalUsedMemory */
  int64_t resident;        /* GTMC_GetOSUsedMemory */
  int64_t peak;            /* GTMC_GetPeakUsedMemory */
  int64_t limit;           /* GTMC_GetTotalMemory */
  int64_t collections;     /* garbage-collect hook calls */
  int64_t overallocations; /* blocks admitted over the limit */
  int64_t memoryFullEvents;
  int64_t pressureTime; /* CLOCK_MONOTONIC ns of the first crossing, or 0 */
  uint32_t kind;
  uint32_t unseen;     /* kUnseen* bits */
  uint32_t memoryFull; /* GTMC_IsMemoryFull */
  uint32_t reserved;
};

#endif /* MEMMGR_RUN_RECORD_H */
