#include "failure_report.h"

#include <default_assertion.h>

#include "../budget/budget_state.h"

MEMMGR_INTERNAL_NAMESPACE_BEGIN

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

void ReportFailedNewBlock(int64_t used, size_t size) {
  ReportSystemAllocationFailure(static_cast<size_t>(used), RoundUp16(size));
}

MEMMGR_INTERNAL_NAMESPACE_END
