// The process-wide budget: limit, accounted total, policy switches, one-way flags and the
// per-thread counter. Every variable is constant-initialised, so the library is usable from
// the moment it is mapped, before any initialiser (ours or another library's) has run.
#pragma once

#include <atomic>
#include <cstdint>

#include "../internal.h"
#include "memmgr"

MEMMGR_INTERNAL_NAMESPACE_BEGIN

// Compiled-in limit; governs only allocations made before the start-up read of the
// environment replaces it.
inline constexpr int64_t kPreStartupLimit = 0x40000000;
// Limit when the environment does not set one.
inline constexpr int64_t kDefaultLimit = 0x4000000;

// Signed: counts can go below zero and every comparison with the limit is signed.
extern constinit std::atomic<int64_t> maxMemory;
// Sum of the usable sizes of all live accounted blocks; changed only by atomic add/subtract.
extern constinit std::atomic<int64_t> usedMemory;
extern constinit std::atomic<bool> rulesSettable;
extern constinit std::atomic<bool> overallocationEnabled;
extern constinit std::atomic<OverallocationCallback> onOverallocation;
// Set when the memory-full handler is first fired; never cleared.
extern constinit std::atomic<bool> memoryFull;
// The handler has been fired since it was last installed with Set_GTMC_MemoryFull.
extern constinit std::atomic<bool> memoryFullFired;
extern constinit std::atomic<bool> failureReported;

// What this thread has added to usedMemory minus what it has subtracted.
extern constinit thread_local int64_t threadAllocated;

void DefaultMemoryFull(unsigned long requestedSize);
int DefaultGarbageCollect(size_t amount);

// The exported hooks are plain objects the host may write directly (its copy may even be a
// copy relocation in the executable), so they are always reached through the exported
// symbol and accessed atomically in place.
inline GarbageCollectHook LoadGarbageCollectHook() noexcept {
  return std::atomic_ref<GarbageCollectHook>(GTMC_GarbageCollect).load(std::memory_order_relaxed);
}
inline MemoryFullHandler LoadMemoryFullHandler() noexcept {
  return std::atomic_ref<MemoryFullHandler>(GTMC_MemoryFull).load(std::memory_order_relaxed);
}

MEMMGR_INTERNAL_NAMESPACE_END
