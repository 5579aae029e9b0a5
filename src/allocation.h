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
// MEMMGR_THREAD_LEASES the atomic steps become thread-local arithmetic on the lease, and the
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

// ---- The budget test ----------------------------------------------------------------------

// With leases, usedMemory holds every thread's unspent lease too. A thread sees the total as
// usedMemory minus its own lease: exact while it is the only thread holding one, and above
// the exact figure by the other threads' leases otherwise, never below it, so the budget test
// can start recovery early by at most those leases, never late.
inline int64_t TotalSeenHere() noexcept {
#if MEMMGR_THREAD_LEASES
  return usedMemory.load(std::memory_order_relaxed) - threadBooks.lease;
#else
  return usedMemory.load(std::memory_order_relaxed);
#endif
}

inline int64_t ThisThreadsAllocations() noexcept {
#if MEMMGR_THREAD_LEASES
  return threadBooks.allocated;
#else
  return threadAllocated;
#endif
}

// Whether `value` is above what `stored` holds now, compared as signed: a relaxed load and a
// comparison. g++ does not fold an atomic load into a comparison, so on x86-64, where an
// aligned 8-byte read is atomic, the comparison reads the variable itself: one instruction
// fewer on every allocation. clang gains nothing from it (it turns the flag output into a
// setcc and a test), so it keeps its own load and comparison.
MEMMGR_ALWAYS_INLINE bool IsAboveStored(int64_t value,
                                        std::atomic<int64_t> const& stored) noexcept {
#if defined(__x86_64__) && defined(__GCC_ASM_FLAG_OUTPUTS__) && !defined(__clang__)
  static_assert(sizeof(stored) == 8 && std::atomic<int64_t>::is_always_lock_free);
  bool above;
  asm("cmpq %2, %1" : "=@ccg"(above) : "r"(value), "m"(stored));
  return above;
#else
  return value > stored.load(std::memory_order_relaxed);
#endif
}

// Whether `total` exceeds the limit as it stands.
MEMMGR_ALWAYS_INLINE bool IsOverCurrentLimit(int64_t total) noexcept {
  return IsAboveStored(total, maxMemory);
}

// ---- The usable size ----------------------------------------------------------------------
// Some allocators build what answers malloc_usable_size on its first call, with `new`
// (gperftools' tcmalloc creates its extension object so). When the library's operators are in
// effect that `new` is ours, and accounting its block would ask malloc_usable_size again,
// still inside its first call: the stack would run out. So a new block's size is asked
// through usableSizeOfNewBlock (internal.h), which costs the success path one load (compilers
// do not fold an atomic load into the call); the budget test wins it back with g++.
//
// A release nested in a first call must not ask either. Only an allocation can start one,
// and carefulReleaseCeiling is above every address while any thread is inside a first call,
// so the success path of a release tests one bound that covers null as well, in the two
// instructions the null test took, and calls malloc_usable_size directly.

MEMMGR_ALWAYS_INLINE size_t UsableSizeOfNewBlock(void* block) noexcept {
  // Relaxed: the pointer is only ever one of two functions, both callable at any time.
  return usableSizeOfNewBlock.load(std::memory_order_relaxed)(block);
}

// Null, or any block while some thread is inside its first call. On x86-64 the comparison
// reads the bound itself, as IsAboveStored does with g++, so that the test costs what a null
// test does; here the flag goes straight to the branch, which clang handles as well.
MEMMGR_ALWAYS_INLINE bool NeedsCarefulRelease(void* block) noexcept {
  uintptr_t const address = reinterpret_cast<uintptr_t>(block);
#if defined(__x86_64__) && defined(__GCC_ASM_FLAG_OUTPUTS__)
  static_assert(sizeof(carefulReleaseCeiling) == 8 && std::atomic<uintptr_t>::is_always_lock_free);
  bool careful;
  asm("cmpq %2, %1" : "=@ccbe"(careful) : "r"(address), "m"(carefulReleaseCeiling));
  return careful;
#else
  return address <= carefulReleaseCeiling.load(std::memory_order_relaxed);
#endif
}

// A block just taken (null, when the system allocator failed), tested against the same bound:
// null, or any block while sampling is on or a first call is underway, takes the careful road,
// in the two instructions the null test took.
MEMMGR_ALWAYS_INLINE bool NeedsCarefulNewBlock(void* block) noexcept {
  return NeedsCarefulRelease(block);
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
  return IsAboveStored(total, highTotalTripWire);
}

#if MEMMGR_THREAD_LEASES
// This thread's books, for one step. With emulated TLS clang calls __emutls_get_address again
// in every block that touches them (five calls per pair); the address hidden from the optimiser
// is taken once. With ELF TLS the compilers reach the books through the thread pointer, which
// a plain address would cost an instruction to form.
MEMMGR_ALWAYS_INLINE ThreadBooks& BooksOfThisStep() noexcept {
  ThreadBooks* books = &threadBooks;
#if MEMMGR_EMULATED_TLS
  asm("" : "+r"(books));
#endif
  return *books;
}

// The shared total is written only when the lease runs out or overflows its ceiling; one
// unsigned comparison catches both.
MEMMGR_ALWAYS_INLINE bool IsOutsideLeaseBounds(ThreadBooks const& books, int64_t lease) noexcept {
  return static_cast<uint64_t>(lease) > static_cast<uint64_t>(books.leaseCeiling);
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
  ThreadBooks& books = BooksOfThisStep();
  int64_t const lease = books.lease - size;
  books.allocated += size;
  if (IsOutsideLeaseBounds(books, lease)) [[unlikely]] {
    return SettleLeaseAfterAllocation(books, lease);
  }
  books.lease = lease;
  int64_t const total = usedMemory.load(std::memory_order_relaxed) - lease;
  if (IsPastTripWire(total)) [[unlikely]]
    NoteHighTotal(total, TotalChange::Raised);
#else
  AccountChange(size);
#endif
}

MEMMGR_ALWAYS_INLINE void AccountRelease(int64_t size) noexcept {
#if MEMMGR_THREAD_LEASES
  ThreadBooks& books = BooksOfThisStep();
  int64_t const lease = books.lease + size;
  books.allocated -= size;
  if (IsOutsideLeaseBounds(books, lease)) [[unlikely]] {
    SettleLease(books, lease);  // a release never raises the peak
    return;
  }
  books.lease = lease;
#else
  // Relaxed, as below; a release never raises the peak.
  usedMemory.fetch_sub(size, std::memory_order_relaxed);
  threadAllocated -= size;
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
    threadAllocated += delta;
    return NoteHighTotal(total, delta > 0 ? TotalChange::Raised : TotalChange::Lowered);
  }
  threadAllocated += delta;
#endif
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

MEMMGR_COLD inline void ReleaseCarefully(void* block) noexcept {
  size_t const size = CarefulUsableSizeOfHeldBlock(block);
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

// A new block off the success path: null from the system allocator, or a block to be counted
// down for sampling (or taken while a first call is underway, which needs nothing more).
MEMMGR_COLD inline void* AccountNewBlockCarefully(void* block, int64_t used, size_t size) {
  if (block == nullptr) {
    ReportFailedNewBlock(used, size);
    return nullptr;
  }
  size_t const usable = UsableSizeOfNewBlock(block);
  AccountAllocation(static_cast<int64_t>(usable));
  NoteNewBlockForSampling(block, usable);
  return block;
}

// Takes a new block and accounts it once the budget test has passed; `used` is the total that
// test read. `alignment` is 0 for malloc's own, else a power of two above it; callers pass a
// constant, so the choice folds away.
MEMMGR_ALWAYS_INLINE void* TakeAccountedBlock(size_t size, int64_t used, size_t alignment) {
  void* const block = alignment == 0 ? std::malloc(size) : TakeAlignedSystemBlock(alignment, size);
  if (NeedsCarefulNewBlock(block)) [[unlikely]]
    return AccountNewBlockCarefully(block, used, size);
  // Null is at or below any ceiling. Told so, the compiler drops the caller's null test of the
  // result, as it did after the plain null test.
  if (block == nullptr) __builtin_unreachable();
  AccountAllocation(static_cast<int64_t>(UsableSizeOfNewBlock(block)));
  return block;
}

// The budget test found the request over the limit. It read the limit without keeping it (that
// is what makes it one instruction), so the limit is read again here: a limit raised since has
// room for the request, and the decision and the callback both go by this reading. The block
// is taken here too, out of line: rejoining the inlined path would cost it an instruction to
// restore the request's register after this call.
MEMMGR_COLD inline void* TakeBlockOverLimit(size_t size, int64_t used,
                                            Overallocation overallocation, size_t alignment) {
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
  if (IsOverCurrentLimit(WrappingAdd(used, RoundUp16(size)))) [[unlikely]] {
    return TakeBlockOverLimit(size, used, overallocation, alignment);
  }
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
