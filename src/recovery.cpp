// SPDX-License-Identifier: Apache-2.0
// What the slow path decides and does, handing the decision back to the code that takes
// blocks (allocation.h): admission over the limit, the calls to the host's hooks between
// attempts, and the one report of a system-allocator failure.
#include <default_assertion.h>

#include "internal.h"

MEMMGR_INTERNAL_NAMESPACE_BEGIN

namespace {

// The report of a system-allocator failure has been issued.
constinit std::atomic<bool> failureReported{false};

// Relaxed: a count only has to add up, and orders nothing.
void CountRecoveryEvent(std::atomic<int64_t>& count) noexcept {
  count.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

bool AdmitOverLimit(size_t callbackRequest, int64_t callbackTotal, int64_t limit,
                    Overallocation overallocation) {
  if (!overallocationEnabled.load(std::memory_order_relaxed)) return false;
  if (overallocation == Overallocation::Refused) return false;
  CountRecoveryEvent(recoveryCounts.overallocations);
  if (OverallocationCallback callback = onOverallocation.load(std::memory_order_relaxed)) {
    callback(callbackRequest, callbackTotal, limit);
  }
  return true;
}

// The hook is read afresh before each call, so it may replace or remove itself mid-sequence.
void Collect(size_t amount) {
  if (GarbageCollectHook hook = LoadGarbageCollectHook()) {
    CountRecoveryEvent(recoveryCounts.collections);
    hook(amount);
  }
}

void FireMemoryFull(size_t size) {
  // The exchange lets one thread at most fire the handler until Set_GTMC_MemoryFull re-arms
  // it; acquire pairs with the release there, so the re-arming thread's handler is seen.
  // The flag is set before the call, so a handler that itself fails to allocate does not
  // fire again. Other threads do not wait for the handler; they go on retrying.
  if (memoryFullFired.exchange(true, std::memory_order_acq_rel)) return;
  memoryFull.store(true, std::memory_order_relaxed);
  CountRecoveryEvent(recoveryCounts.memoryFullEvents);
  if (MemoryFullHandler handler = LoadMemoryFullHandler()) handler(size);
}

void ReportSystemAllocationFailure(size_t allocated, size_t requested) {
  // A relaxed check and a later store rather than one exchange: threads failing at the same
  // instant may each report, which is cheaper than ordering the common case.
  if (failureReported.load(std::memory_order_relaxed)) return;
  int const result = DEFAULT_ASSERTION::DISPATCHER_WRAPPER::Assertion(
      ASSERT_STATE_ACTIVE, "", 0, "assert", ASSERT_LEVEL_ERROR, "false", nullptr,
      "GMM Transparent SysMemfull; allocated: %lu; requested: %lu.",
      static_cast<unsigned long>(allocated), static_cast<unsigned long>(requested));
  {
    // The base library decides in this destructor whether the process goes on; ours returns.
    DEFAULT_ASSERTION::EXIT_HELPER exitHelper{result, 1};
  }
  failureReported.store(true, std::memory_order_relaxed);
}

MEMMGR_INTERNAL_NAMESPACE_END
