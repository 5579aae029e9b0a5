// The success path of every accounted allocation and release, up to where it leaves for a
// rare path: the recovery sequence (recovery.h), a request over the limit (over_limit.h), a
// system-allocator failure (failure_report.h) or a new high total (trip_wire.h).
//
// An allocation: the budget test (two relaxed loads and a comparison), one system-allocator
// call, one malloc_usable_size, one atomic addition to the shared total, one comparison of
// its result with the trip-wire, and one thread-local update; malloc_usable_size is called
// through a pointer that guards its first calls. A release: one bound test (null, or a first
// call underway somewhere), one malloc_usable_size, one atomic subtraction, one thread-local
// update and one free (usable_size.h).
// With MEMMGR_THREAD_LEASES the atomic steps become thread-local arithmetic on the lease
// (thread_books.h), and the trip-wire is compared with the total this thread sees.
#pragma once

#include <malloc.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "../budget/thread_books.h"
#include "../budget/trip_wire.h"
#include "failure_report.h"
#include "over_limit.h"
#include "recovery.h"
#include "usable_size.h"

MEMMGR_INTERNAL_NAMESPACE_BEGIN

#if !MEMMGR_THREAD_LEASES

// One accounting step of `delta` bytes, either sign.
MEMMGR_ALWAYS_INLINE void AccountChange(int64_t delta) noexcept {
  // Relaxed: each change is one read-modify-write, so the count is exact in any order, and
  // nothing else is published or read through it. The trip-wire read below may then see an
  // older figure, which is never higher than the current one between resets (see
  // trip_wire.h). On arm64 this drops the acquire and release from the addition.
  int64_t const total = usedMemory.fetch_add(delta, std::memory_order_relaxed) + delta;
  // Tested before the thread-local update so that the total need not outlive its call.
  if (IsPastTripWire(total)) [[unlikely]] {
    threadAllocated += delta;
    return NoteHighTotal(total, delta > 0 ? TotalChange::Raised : TotalChange::Lowered);
  }
  threadAllocated += delta;
}
MEMMGR_ALWAYS_INLINE void AccountAllocation(int64_t size) noexcept { AccountChange(size); }

MEMMGR_ALWAYS_INLINE void AccountRelease(int64_t size) noexcept {
  // Relaxed, as above; a release never raises the peak.
  usedMemory.fetch_sub(size, std::memory_order_relaxed);
  threadAllocated -= size;
}

#else  // each thread spends a lease (thread_books.h)

// The shared total is written only when the lease runs out or overflows its ceiling; one
// unsigned comparison catches both.
MEMMGR_ALWAYS_INLINE bool IsOutsideLeaseBounds(ThreadBooks const& books, int64_t lease) noexcept {
  return static_cast<uint64_t>(lease) > static_cast<uint64_t>(books.leaseCeiling);
}

MEMMGR_ALWAYS_INLINE void AccountAllocation(int64_t size) noexcept {
  ThreadBooks& books = threadBooks;
  int64_t const lease = books.lease - size;
  books.allocated += size;
  if (IsOutsideLeaseBounds(books, lease)) [[unlikely]] {
    return RebalanceLease(books, lease, TotalChange::Raised);
  }
  books.lease = lease;
  int64_t const total = usedMemory.load(std::memory_order_relaxed) - lease;
  if (IsPastTripWire(total)) [[unlikely]]
    NoteHighTotal(total, TotalChange::Raised);
}

MEMMGR_ALWAYS_INLINE void AccountRelease(int64_t size) noexcept {
  ThreadBooks& books = threadBooks;
  int64_t const lease = books.lease + size;
  books.allocated -= size;
  if (IsOutsideLeaseBounds(books, lease)) [[unlikely]] {
    return RebalanceLease(books, lease, TotalChange::Lowered);
  }
  books.lease = lease;
}

// One accounting step of `delta` bytes, either sign. A step of 0 (a resize within the block's
// usable size) raises nothing, so it must not fire the pressure signal.
MEMMGR_ALWAYS_INLINE void AccountChange(int64_t delta) noexcept {
  delta > 0 ? AccountAllocation(delta) : AccountRelease(-delta);
}

#endif

// Takes a new block and accounts it once the budget test has passed; `used` is the total that
// test read. `alignment` is 0 for malloc's own, else a power of two above it; callers pass a
// constant, so the choice folds away.
MEMMGR_ALWAYS_INLINE void* TakeAccountedBlock(size_t size, int64_t used, size_t alignment) {
  void* const block = alignment == 0 ? std::malloc(size) : TakeAlignedSystemBlock(alignment, size);
  if (block == nullptr) [[unlikely]] {
    ReportFailedNewBlock(used, size);
    return nullptr;
  }
  AccountAllocation(static_cast<int64_t>(UsableSizeOfNewBlock(block)));
  return block;
}

MEMMGR_ALWAYS_INLINE void* TryAllocate(size_t size, Overallocation overallocation,
                                       size_t alignment = 0) {
  int64_t const used = TotalSeenHere();
  if (IsOverCurrentLimit(WrappingAdd(used, RoundUp16(size)))) [[unlikely]] {
    return TakeBlockOverLimit(size, used, overallocation, alignment);
  }
  return TakeAccountedBlock(size, used, alignment);
}

// The road of every new accounted block: mmgr_malloc, operator new, calloc, strings, aligned.
MEMMGR_ALWAYS_INLINE void* AllocateAccounted(size_t size, size_t alignment = 0) {
  if (void* block = TryAllocate(size, Overallocation::Refused, alignment)) [[likely]] {
    return block;
  }
  return RecoverNewBlock(size, alignment);
}

// Null does nothing at all: no system-allocator call and, above all, no write to the shared
// total, whose cache line every thread contends for (deleting null is common in C++ code).
// The one bound test that catches null also sends releases that may be nested in a first
// malloc_usable_size call to the careful road (usable_size.h).
MEMMGR_ALWAYS_INLINE void ReleaseAccounted(void* block) noexcept {
  if (NeedsCarefulRelease(block)) [[unlikely]] {
    if (block == nullptr) return;
    return ReleaseCarefully(block);
  }
  AccountRelease(static_cast<int64_t>(malloc_usable_size(block)));
  std::free(block);
}

MEMMGR_INTERNAL_NAMESPACE_END
