// The site sampler: what the interposed entry points (sampled_entry_points.cpp) ask of it.
// Preloaded only for --sites, in front of the library, so that without it nothing of this runs.
// The checks every allocation and release makes are inline here; the rest is out of line.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "sites/live_samples.h"
#include "sites/sites_area.h"

namespace sites {

// Set once the sampler has its area; cleared in a forked child, which is not measured.
extern std::atomic<bool> sampling;

// ---- Out of line -------------------------------------------------------------------------

struct Attempt {
  int64_t memoryFullEvents = -1;  // when a memory-full snapshot is pending: the count before
};
Attempt WatchMemoryFull(size_t size);
void SettleAttempt(Attempt const& attempt);
void SampleDue(void* block, size_t size);
void SnapshotPeak(int64_t total);

// ---- Inline: what every call pays ----------------------------------------------------------

struct ThreadSampler {
  int64_t bytesToNextSample = 0;  // the first allocation draws the thread's first distance
  uint64_t random = 0;            // 0 until then
  bool busy = false;              // within the sampler: what it calls is not sampled again
};
extern thread_local ThreadSampler thisThread [[gnu::tls_model("initial-exec")]];

extern int64_t interval;               // the mean distance between samples, in bytes
extern int64_t const* accountedTotal;  // the library's total
extern std::atomic<int64_t> nextPeakSnapshot;
extern std::atomic<bool> watchingMemoryFull;  // a limit is set and snapshots remain
extern LiveSamples live;
extern std::atomic<int64_t> liveBytes[kSiteStacks];  // estimated live bytes per stack

// A request that does not fit may end in a memory-full event: the snapshot for it is taken
// before the handler frees anything, and kept only if the event happened.
inline Attempt BeforeAllocation(size_t size) {
  if (!watchingMemoryFull.load(std::memory_order_relaxed)) [[likely]]
    return {};
  return WatchMemoryFull(size);
}

// `block`: what the library returned for a request of `size` bytes (null when refused). The
// countdown runs on requested bytes; only a sampled block is asked its usable size.
inline void AfterAllocation(Attempt const& attempt, void* block, size_t size) {
  if (attempt.memoryFullEvents >= 0) [[unlikely]]
    SettleAttempt(attempt);
  if (block == nullptr) return;
  ThreadSampler& sampler = thisThread;
  sampler.bytesToNextSample -= static_cast<int64_t>(size);
  if (sampler.bytesToNextSample <= 0 || static_cast<int64_t>(size) >= interval) [[unlikely]]
    SampleDue(block, size);
  int64_t const total =
      std::atomic_ref(*const_cast<int64_t*>(accountedTotal)).load(std::memory_order_relaxed);
  if (total > nextPeakSnapshot.load(std::memory_order_relaxed)) [[unlikely]]
    SnapshotPeak(total);
}

// Takes `block` out of the live set when it was sampled: before the library releases it, or
// while a resize may still fail.
inline bool Withdraw(void* block, Withdrawn& withdrawn) {
  if (!live.Remove(reinterpret_cast<uintptr_t>(block), withdrawn)) [[likely]]
    return false;
  liveBytes[withdrawn.stack].fetch_sub(withdrawn.weight, std::memory_order_relaxed);
  return true;
}

inline void BeforeRelease(void* block) {
  Withdrawn withdrawn;
  Withdraw(block, withdrawn);
}

// Puts back a block withdrawn for a resize that was refused.
inline void Restore(void* block, Withdrawn const& withdrawn) {
  if (live.Insert(reinterpret_cast<uintptr_t>(block), withdrawn))
    liveBytes[withdrawn.stack].fetch_add(withdrawn.weight, std::memory_order_relaxed);
}

}  // namespace sites
