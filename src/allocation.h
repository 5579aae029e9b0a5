// SPDX-License-Identifier: Apache-2.0
// The success path of every accounted allocation and release, whole, with the lease build's
// steps beside the default's: first the steps, then the rare roads that still take or release
// a block, then the roads of one block that join them. What the slow path decides (over the
// limit, recovery, the report) it decides in recovery.cpp and hands back; only this file, and
// the resize in allocation.cpp built on it, take and release blocks.
//
// An allocation: the budget test (two relaxed loads and a comparison), one system-allocator
// call, one malloc_usable_size through a pointer that guards its first calls, one atomic
// addition to the shared total, one comparison of its result with the trip-wire, and one
// thread-local update. A release: one bound test (null, or a first call underway somewhere),
// one malloc_usable_size, one atomic subtraction, one thread-local update and one free. With
// MEMMGR_THREAD_LEASES the atomic steps become plain arithmetic on the thread's lease, and the
// trip-wire is compared with the total this thread sees.
#pragma once

#include <malloc.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "internal.h"

MEMMGR_INTERNAL_NAMESPACE_BEGIN

// ---- Byte counts ---------------------------------------------------------------------------
// Requests are unsigned; totals and the limit are signed so that they can fall below zero and
// compare as the host wrote them. Everything wraps modulo 2^64 rather than overflowing.

// The figure every budget test uses; modulo 2^64, so requests above SIZE_MAX - 15 give 0.
constexpr size_t RoundUp16(size_t n) noexcept { return (n + 15) & ~size_t{15}; }

constexpr bool IsOverLimit(int64_t total, int64_t limit) noexcept { return total > limit; }

constexpr int64_t WrappingAdd(int64_t a, uint64_t b) noexcept {
  return static_cast<int64_t>(static_cast<uint64_t>(a) + b);
}

// The quick budget test (QuickLimitOf, internal.h), on the success path.
constexpr bool FitsQuickly(int64_t total, size_t size, int64_t quickLimit) noexcept {
  return WrappingAdd(total, size) < quickLimit;
}

// ---- The budget test ----------------------------------------------------------------------

// With leases, usedMemory holds every thread's unspent lease too. A thread sees the total as
// usedMemory minus its own lease: exact while it is the only thread holding one, and above
// the exact figure by the other threads' leases otherwise, never below it. So the budget test
// never admits what the exact total would refuse; what it refuses goes to the slow path, which
// decides by the exact total (TotalOfDecision).
inline int64_t TotalSeenHere() noexcept {
#if MEMMGR_THREAD_LEASES
  return usedMemory.load(std::memory_order_relaxed) -
         threadBooks.slot->lease.load(std::memory_order_relaxed);
#else
  return usedMemory.load(std::memory_order_relaxed);
#endif
}

// The total a decision over the limit goes by, given the total the budget test read: that one
// in the default build; with leases, the exact total, every ceiling taken away (see
// ExactTotal).
inline int64_t TotalOfDecision([[maybe_unused]] int64_t seen) noexcept {
#if MEMMGR_THREAD_LEASES
  return ExactTotal(LeaseCeilings::Reclaimed);
#else
  return seen;
#endif
}

// The exact total, for the statistics.
inline int64_t TotalOfFigures() noexcept {
#if MEMMGR_THREAD_LEASES
  return ExactTotal(LeaseCeilings::Kept);
#else
  return usedMemory.load(std::memory_order_relaxed);
#endif
}

inline int64_t ThisThreadsAllocations() noexcept { return threadBooks.allocated; }

// ---- The usable size ----------------------------------------------------------------------
// Some allocators build what answers malloc_usable_size on its first call, with `new`
// (gperftools' tcmalloc creates its extension object so). When the library's operators are in
// effect that `new` is ours, and accounting its block would ask malloc_usable_size again,
// still inside its first call: the stack would run out. So a new block's size is asked
// through usableSizeOfNewBlock (internal.h), which costs the success path one load (compilers
// do not fold an atomic load into the call).
//
// A release nested in a first call must not ask either. Only an allocation can start one,
// and carefulReleaseCeiling is above every address while any thread is inside a first call,
// so the success path of a release tests one bound that covers null as well, and calls
// malloc_usable_size directly.

MEMMGR_ALWAYS_INLINE size_t UsableSizeOfNewBlock(void* block) noexcept {
  // Relaxed: the pointer is only ever one of two functions, both callable at any time.
  return usableSizeOfNewBlock.load(std::memory_order_relaxed)(block);
}

// Null, or any block while some thread is inside its first call.
MEMMGR_ALWAYS_INLINE bool NeedsCarefulRelease(void* block) noexcept {
  return reinterpret_cast<uintptr_t>(block) <=
         carefulReleaseCeiling.load(std::memory_order_relaxed);
}

// A block (not null) about to be released or resized: its size is taken off.
MEMMGR_ALWAYS_INLINE size_t UsableSizeOfHeldBlock(void* block) noexcept {
  if (NeedsCarefulRelease(block)) [[unlikely]]
    return CarefulUsableSizeOfHeldBlock(block);
  return malloc_usable_size(block);
}

// ---- The accounting step ------------------------------------------------------------------

// Whether `total` has passed the trip-wire: a new peak, or the armed pressure threshold.
MEMMGR_ALWAYS_INLINE bool IsPastTripWire(int64_t total) noexcept {
  return total > highTotalTripWire.load(std::memory_order_relaxed);
}

#if MEMMGR_THREAD_LEASES
// The lease is settled with the shared total only when it runs out or overflows its ceiling;
// one unsigned comparison catches both.
MEMMGR_ALWAYS_INLINE bool IsOutsideLeaseBounds(LeaseSlot const& slot, int64_t lease) noexcept {
  return static_cast<uint64_t>(lease) >
         static_cast<uint64_t>(slot.ceiling.load(std::memory_order_relaxed));
}

// An allocation that ran the lease out: settled, then the total this thread sees is watched as
// after any allocation. Out of line, like the settling, so the inlined path never holds a
// register across it.
MEMMGR_COLD inline void SettleLeaseAfterAllocation(ThreadBooks& books, int64_t lease) noexcept {
  int64_t const total = SettleLease(books, lease);
  if (IsPastTripWire(total)) NoteHighTotal(total, TotalChange::Raised);
}
#endif

// One accounting step of `delta` bytes, either sign; a resize makes one.
MEMMGR_ALWAYS_INLINE void AccountChange(int64_t delta) noexcept;

MEMMGR_ALWAYS_INLINE void AccountAllocation(int64_t size) noexcept {
#if MEMMGR_THREAD_LEASES
  ThreadBooks& books = threadBooks;
  LeaseSlot& slot = *books.slot;
  int64_t const lease = slot.lease.load(std::memory_order_relaxed) - size;
  books.allocated += size;
  if (IsOutsideLeaseBounds(slot, lease)) [[unlikely]] {
    return SettleLeaseAfterAllocation(books, lease);
  }
  slot.lease.store(lease, std::memory_order_relaxed);
  int64_t const total = usedMemory.load(std::memory_order_relaxed) - lease;
  if (IsPastTripWire(total)) [[unlikely]]
    NoteHighTotal(total, TotalChange::Raised);
#else
  AccountChange(size);
#endif
}

MEMMGR_ALWAYS_INLINE void AccountRelease(int64_t size) noexcept {
#if MEMMGR_THREAD_LEASES
  ThreadBooks& books = threadBooks;
  LeaseSlot& slot = *books.slot;
  int64_t const lease = slot.lease.load(std::memory_order_relaxed) + size;
  books.allocated -= size;
  if (IsOutsideLeaseBounds(slot, lease)) [[unlikely]] {
    SettleLease(books, lease);  // a release never raises the peak
    return;
  }
  slot.lease.store(lease, std::memory_order_relaxed);
#else
  // Relaxed, as below; a release never raises the peak.
  usedMemory.fetch_sub(size, std::memory_order_relaxed);
  threadBooks.allocated -= size;
#endif
}

MEMMGR_ALWAYS_INLINE void AccountChange(int64_t delta) noexcept {
#if MEMMGR_THREAD_LEASES
  // A step of 0 (a resize within the block's usable size) raises nothing, so it must not fire
  // the pressure signal.
  delta > 0 ? AccountAllocation(delta) : AccountRelease(-delta);
#else
  // Relaxed: each change is one read-modify-write, so the count is exact in any order, and
  // nothing else is published or read through it. The trip-wire read below may then see an
  // older figure, which is never higher than the current one between resets (RefreshTripWire).
  // On arm64 this drops the acquire and release from the addition.
  int64_t const total = usedMemory.fetch_add(delta, std::memory_order_relaxed) + delta;
  // Tested before the thread-local update so that the total need not outlive its call.
  if (IsPastTripWire(total)) [[unlikely]] {
    threadBooks.allocated += delta;
    return NoteHighTotal(total, delta > 0 ? TotalChange::Raised : TotalChange::Lowered);
  }
  threadBooks.allocated += delta;
#endif
}

// A new block's step: accounted as any allocation, and counted down for sampling on the same
// books, both written at one place so that the inlined path reaches the thread-local once (a
// write on each side of a branch costs emulated TLS a second lookup). A countdown that runs out
// takes the trip-wire test with it, so that the sign of the subtraction is tested at once.
MEMMGR_COLD inline void NoteNewBlockThenSample(int64_t total, void* block, size_t usable) noexcept {
  if (IsPastTripWire(total)) NoteHighTotal(total, TotalChange::Raised);
  CountdownRanOut(block, usable);
}

MEMMGR_ALWAYS_INLINE void AccountNewBlock(void* block, size_t usable) noexcept {
  int64_t const size = static_cast<int64_t>(usable);
#if MEMMGR_THREAD_LEASES
  ThreadBooks& books = threadBooks;
  LeaseSlot& slot = *books.slot;
  int64_t const lease = slot.lease.load(std::memory_order_relaxed) - size;
  books.allocated += size;
  books.untilSample -= size;
  if (IsOutsideLeaseBounds(slot, lease)) [[unlikely]] {
    SettleLeaseAfterAllocation(books, lease);
    if (threadBooks.untilSample < 0) CountdownRanOut(block, usable);
    return;
  }
  slot.lease.store(lease, std::memory_order_relaxed);
  int64_t const total = usedMemory.load(std::memory_order_relaxed) - lease;
#else
  // Relaxed, as in AccountChange.
  int64_t const total = usedMemory.fetch_add(size, std::memory_order_relaxed) + size;
  ThreadBooks& books = threadBooks;
  books.allocated += size;
  books.untilSample -= size;
#endif
  if (books.untilSample < 0) [[unlikely]]
    return NoteNewBlockThenSample(total, block, usable);
  if (IsPastTripWire(total)) [[unlikely]]
    NoteHighTotal(total, TotalChange::Raised);
}

// ---- The rare roads ---------------------------------------------------------------------------
// Out of line, so that the inlined path keeps its registers free of their calls. Defined ahead
// of their callers: g++ refuses a forward declaration of an inline function kept out of line.

// posix_memalign with null for failure; `alignment` is a power of two above 16.
MEMMGR_COLD inline void* TakeAlignedSystemBlock(size_t alignment, size_t size) noexcept {
  void* block = nullptr;
  return ::posix_memalign(&block, alignment, size) == 0 ? block : nullptr;
}

// Rounding the request here rather than in the caller keeps the rounded figure from being held
// across the malloc call of the inlined path, which would cost a saved register in every
// entry point.
MEMMGR_COLD inline void ReportFailedNewBlock(int64_t used, size_t size) {
  ReportSystemAllocationFailure(static_cast<size_t>(used), RoundUp16(size));
}

// Every refusal of a request for memory: null, with errno at ENOMEM as malloc leaves it. Set
// last, once the hooks, which may change errno themselves, have all run.
MEMMGR_COLD inline void* OutOfMemory() noexcept {
  errno = ENOMEM;
  return nullptr;
}

// No thread is inside its first call, this one included (its own entry it always sees): the
// ceiling is 0 or kSamplingRaise, and the size may be asked directly.
static_assert(static_cast<uint32_t>(kSamplingRaise) == 0, "the raise leaves the count alone");
MEMMGR_ALWAYS_INLINE bool NoFirstCallUnderway() noexcept {
  return static_cast<uint32_t>(carefulReleaseCeiling.load(std::memory_order_relaxed)) == 0;
}

MEMMGR_COLD inline void ReleaseCarefully(void* block) noexcept {
  // While sampling is on every release comes here; most need no guard.
  size_t const size =
      NoFirstCallUnderway() ? malloc_usable_size(block) : CarefulUsableSizeOfHeldBlock(block);
  AccountRelease(static_cast<int64_t>(size));
  // Before free: once freed, the address may come back as another block and be sampled.
  NoteReleaseForSampling(block, size);
  std::free(block);
}

// The recovery sequence around the attempts `attempt(overallocation)` makes (a new block, or a
// resize in allocation.cpp): asks the host to collect, lets the request exceed the limit,
// fires the memory-full handler, and retries. Null when all fails.
template <typename Attempt>
void* Recover(size_t size, Attempt attempt) {
  Collect(size);
  if (void* block = attempt(Overallocation::Refused)) return block;

  Collect(size + (size >> 1));
  Collect(kCollectEverything);
  if (void* block = attempt(Overallocation::Allowed)) return block;

  Collect(kCollectEverything);
  FireMemoryFull(size);
  Collect(kCollectEverything);

  for (int round = 0; round < RecoveryRounds; ++round) {
    if (void* block = attempt(Overallocation::Allowed)) return block;
    Collect(kCollectEverything);
  }
  return nullptr;
}

// ---- One block ------------------------------------------------------------------------------

// Takes a new block and accounts it once the budget test has passed; `used` is the total that
// test read. `alignment` is 0 for malloc's own, else a power of two above it; callers pass a
// constant, so the choice folds away.
MEMMGR_ALWAYS_INLINE void* TakeAccountedBlock(size_t size, int64_t used, size_t alignment) {
  void* const block = alignment == 0 ? std::malloc(size) : TakeAlignedSystemBlock(alignment, size);
  if (block == nullptr) [[unlikely]] {
    ReportFailedNewBlock(used, size);
    return nullptr;
  }
  AccountNewBlock(block, UsableSizeOfNewBlock(block));
  return block;
}

// The quick budget test did not admit the request: the budget test decides. The limit is read
// again here, so that a limit raised since has room for the request, and so is the total with
// leases (the quick test's includes the other threads' leases); the decision and the callback
// both go by these readings. The block is taken here too, out of line: rejoining the inlined
// path would cost it an instruction to restore the request's register after this call.
MEMMGR_COLD inline void* TakeBlockOverLimit(size_t size, int64_t used,
                                            Overallocation overallocation, size_t alignment) {
  used = TotalOfDecision(used);
  int64_t const limit = maxMemory.load(std::memory_order_relaxed);
  if (IsOverLimit(WrappingAdd(used, RoundUp16(size)), limit) &&
      !AdmitOverLimit(size, used, limit, overallocation)) {
    return nullptr;
  }
  return TakeAccountedBlock(size, used, alignment);
}

// One attempt at a new block.
MEMMGR_ALWAYS_INLINE void* TryAllocate(size_t size, Overallocation overallocation,
                                       size_t alignment = 0) {
  int64_t const used = TotalSeenHere();
  if (!FitsQuickly(used, size, quickLimit.load(std::memory_order_relaxed))) [[unlikely]]
    return TakeBlockOverLimit(size, used, overallocation, alignment);
  return TakeAccountedBlock(size, used, alignment);
}

// What follows a refused quick attempt at a new block: an empty request gives up at once.
MEMMGR_COLD inline void* RecoverNewBlock(size_t size, size_t alignment) {
  if (size == 0) return OutOfMemory();
  void* const block = Recover(size, [size, alignment](Overallocation overallocation) {
    return TryAllocate(size, overallocation, alignment);
  });
  return block != nullptr ? block : OutOfMemory();
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
// malloc_usable_size call to the careful road.
MEMMGR_ALWAYS_INLINE void ReleaseAccounted(void* block) noexcept {
  if (NeedsCarefulRelease(block)) [[unlikely]] {
    if (block == nullptr) return;
    return ReleaseCarefully(block);
  }
  AccountRelease(static_cast<int64_t>(malloc_usable_size(block)));
  std::free(block);
}

// ---- Alignment ----------------------------------------------------------------------------------
// Shared by mmgr_aligned_alloc and the aligned operator new forms, so that both take the same
// road for the same alignment.

// What malloc already guarantees on the targets (16 on 64-bit Linux and Android).
inline constexpr size_t kSystemAlignment = alignof(std::max_align_t);

constexpr bool IsPowerOfTwo(size_t n) noexcept { return n != 0 && (n & (n - 1)) == 0; }

// Whether a power-of-two `alignment` is one the system allocator does not already meet.
// Any other value is refused before it gets here: no block can have it.
constexpr bool NeedsOwnAlignment(size_t alignment) noexcept { return alignment > kSystemAlignment; }

MEMMGR_INTERNAL_NAMESPACE_END
