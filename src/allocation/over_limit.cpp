#include "over_limit.h"

#include <cstdlib>

#include "fast_path.h"
#include "recovery_counts.h"

MEMMGR_INTERNAL_NAMESPACE_BEGIN

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

void* TakeBlockOverLimit(size_t size, int64_t used, Overallocation overallocation,
                         size_t alignment) {
  // A limit raised since the test has room for the request: taken as the fast path would.
  int64_t const limit = maxMemory.load(std::memory_order_relaxed);
  if (IsOverLimit(WrappingAdd(used, RoundUp16(size)), limit) &&
      !AdmitOverLimit(size, used, limit, overallocation)) {
    return nullptr;
  }
  return alignment == 0 ? TakeAccountedBlock(size, used, 0)
                        : TakeAccountedBlock(size, used, alignment);
}

void* TakeAlignedSystemBlock(size_t alignment, size_t size) noexcept {
  void* block = nullptr;
  return ::posix_memalign(&block, alignment, size) == 0 ? block : nullptr;
}

MEMMGR_INTERNAL_NAMESPACE_END
