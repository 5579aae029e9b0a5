// What each thread keeps of the budget. In the default build that is its own count; with
// MEMMGR_THREAD_LEASES it is also a lease: budget taken from the shared total in one step and
// then spent and refilled with plain thread-local arithmetic, so that the success path of an
// allocation and a release writes no cache line another thread writes.
//
// usedMemory then holds the live blocks plus every thread's unspent lease. A thread sees the
// total as usedMemory minus its own lease: exact while it is the only thread holding one, and
// above the exact figure by the other threads' leases otherwise, never below it, so the
// budget test can start recovery early by at most those leases, never late.
#pragma once

#include "budget_state.h"
#include "trip_wire.h"

#ifndef MEMMGR_THREAD_LEASES
#define MEMMGR_THREAD_LEASES 0
#endif

MEMMGR_INTERNAL_NAMESPACE_BEGIN

#if MEMMGR_THREAD_LEASES

// A lease that runs out is refilled to this (less near the limit); one that grows above the
// ceiling, from releases, gives the excess back. So a lease is never negative and never above
// 64 KiB, however blocks travel between threads.
inline constexpr int64_t kLeaseRefill = 32 * kKiB;
inline constexpr int64_t kLeaseCeiling = 64 * kKiB;

struct ThreadBooks {
  int64_t lease = 0;
  // 0 until the thread's exit hook is in place and again once it has run: every step then
  // goes to the shared total at once, so nothing is left behind when the thread ends.
  int64_t leaseCeiling = 0;
  int64_t allocated = 0;  // what this thread accounted minus what it released
  bool exitHookSet = false;
};
extern constinit thread_local ThreadBooks threadBooks;

// The lease went below 0 or above its ceiling after a step: settles it with the shared total
// in one addition, then checks the trip-wire after a step that raised the total.
MEMMGR_COLD void RebalanceLease(ThreadBooks& books, int64_t lease, TotalChange change) noexcept;

inline int64_t TotalSeenHere() noexcept {
  return usedMemory.load(std::memory_order_relaxed) - threadBooks.lease;
}
inline int64_t ThisThreadsAllocations() noexcept { return threadBooks.allocated; }

#else

inline int64_t TotalSeenHere() noexcept { return usedMemory.load(std::memory_order_relaxed); }
inline int64_t ThisThreadsAllocations() noexcept { return threadAllocated; }

#endif

MEMMGR_INTERNAL_NAMESPACE_END
