// The site sampler: what the interposed entry points (sampled_entry_points.cpp) ask of it.
// Preloaded only for --sites, in front of the library, so that without it nothing of this runs.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace sites {

// Set once the sampler has its area; cleared in a forked child, which is not measured.
extern std::atomic<bool> sampling;

// What an allocation looked like before the library took it: a request that does not fit may
// end in a memory-full event, and the snapshot for it is taken before the handler frees
// anything; it is kept only if the event happened.
struct Attempt {
  int64_t memoryFullEvents = -1;  // -1: no snapshot pending
};

Attempt BeforeAllocation(size_t size);
// `block` is what the library returned for the attempt (null when refused).
void AfterAllocation(Attempt const& attempt, void* block);
// Before the library releases `block`: a sampled block leaves the live set.
void BeforeRelease(void* block);

// A block taken out of the live set while its fate is unknown (a resize that may fail).
struct Withdrawn {
  int64_t weight = 0;
  uint32_t stack = 0;
};
bool Withdraw(void* block, Withdrawn& withdrawn);
void Restore(void* block, Withdrawn const& withdrawn);

}  // namespace sites
