// The process-wide budget: limit, accounted total, policy switches, one-way flags and the
// per-thread counter. Every variable is constant-initialised, so the library is usable from
// the moment it is mapped, before any initialiser (ours or another library's) has run.
#pragma once

#include <atomic>
#include <cstdint>

#include "../internal.h"
#include "byte_counts.h"
#include "memmgr"

MEMMGR_INTERNAL_NAMESPACE_BEGIN

// Governs only the allocations made before the start-up read of the environment replaces it.
inline constexpr int64_t kPreStartupLimit = 1 * kGiB;
// The limit when the environment does not set one.
inline constexpr int64_t kDefaultLimit = 64 * kMiB;

// The limit. Signed: counts can go below zero and every comparison with it is signed.
extern constinit std::atomic<int64_t> maxMemory;
// Sum of the usable sizes of all live accounted blocks; changed only by atomic add/subtract.
extern constinit std::atomic<int64_t> usedMemory;
// Whether the host may set the limit: false when it came from the environment.
extern constinit std::atomic<bool> rulesSettable;
extern constinit std::atomic<bool> overallocationEnabled;
extern constinit std::atomic<OverallocationCallback> onOverallocation;
// Memory has been full at least once in the life of the process: set when the handler is
// first fired, never cleared (GTMC_IsMemoryFull).
extern constinit std::atomic<bool> memoryFull;
// The handler is spent: it has been fired since Set_GTMC_MemoryFull last installed (armed)
// it, so further memory-full events skip it. Only Set_GTMC_MemoryFull clears it.
extern constinit std::atomic<bool> memoryFullFired;
// The global operator new and delete the process binds to are this library's: set by the
// initialiser in operators_in_effect.cpp (mmgr_new_is_accounted).
extern constinit std::atomic<bool> operatorsInEffect;
// The one-time report of a system-allocator failure has been issued.
extern constinit std::atomic<bool> failureReported;

// What this thread has added to usedMemory minus what it has subtracted (the lease build keeps
// it in thread_books.h instead).
extern constinit thread_local int64_t threadAllocated;

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

// The budget test of a new block: whether `total` exceeds the limit as it stands.
MEMMGR_ALWAYS_INLINE bool IsOverCurrentLimit(int64_t total) noexcept {
  return IsAboveStored(total, maxMemory);
}

MEMMGR_INTERNAL_NAMESPACE_END
