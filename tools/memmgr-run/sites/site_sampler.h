// SPDX-License-Identifier: Apache-2.0
// The site sampler: what the interposed entry points (sampled_entry_points.cpp) ask of it.
// Preloaded only for --sites, in front of the library, so that without it nothing of this runs.
// The checks every allocation and release makes are inline here; the rest is out of line.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memmgr>

#include "sites/live_samples.h"
#include "sites/sites_area.h"

namespace sites {

// Set once the sampler has its area; cleared in a forked child, which is not measured.
extern std::atomic<bool> sampling;

// ---- Out of line -------------------------------------------------------------------------

void SampleDue(void* block, size_t size);
void SnapshotPeak(int64_t total);
void AdoptMemoryFullHandler();
// Where the library's memory-full events reach the sampler: GTMC_MemoryFull holds this relay,
// which snapshots the live set and then calls the program's own handler.
void RelayMemoryFull(unsigned long requestedSize);
// The program's Set_GTMC_MemoryFull: `handler` goes behind the relay and the library's setter
// (`librarySetter`) re-arms the relay. Returns the program's previous handler.
MemoryFullHandler SetProgramMemoryFullHandler(
    MemoryFullHandler handler, MemoryFullHandler (*librarySetter)(MemoryFullHandler));

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
extern LiveSamples live;
extern std::atomic<int64_t> liveBytes[kSiteStacks];  // estimated live bytes per stack

// The program may also assign GTMC_MemoryFull directly instead of calling the setter; the
// next request takes its handler behind the relay, before that request could reach an event.
inline void BeforeAllocation() {
  if (std::atomic_ref(GTMC_MemoryFull).load(std::memory_order_relaxed) != &RelayMemoryFull)
      [[unlikely]]
    AdoptMemoryFullHandler();
}

// `block`: what the library returned for a request of `size` bytes (null when refused). The
// countdown runs on requested bytes; only a sampled block is asked its usable size.
inline void AfterAllocation(void* block, size_t size) {
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
