// How often the recovery sequence called the garbage-collect hook, admitted a request over the
// limit and fired the memory-full handler: counted where each happens, on the out-of-line
// recovery path, so an allocation within the limit pays nothing for them. Read through
// mmgr_get_figure_locations, from inside the process or from outside it.
#pragma once

#include <atomic>
#include <cstdint>

#include "../internal.h"

MEMMGR_INTERNAL_NAMESPACE_BEGIN

// A line of its own: the increments come from threads in recovery, which should not take the
// line of the hot path's total from the threads still allocating within the limit.
struct alignas(64) RecoveryCounts {
  std::atomic<int64_t> collections{0};
  std::atomic<int64_t> overallocations{0};
  std::atomic<int64_t> memoryFullEvents{0};
};
extern constinit RecoveryCounts recoveryCounts;

// Relaxed: a count only has to add up, and orders nothing.
inline void CountRecoveryEvent(std::atomic<int64_t>& count) noexcept {
  count.fetch_add(1, std::memory_order_relaxed);
}

MEMMGR_INTERNAL_NAMESPACE_END
