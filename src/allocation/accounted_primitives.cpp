#include "accounted_primitives.h"

MEMMGR_INTERNAL_NAMESPACE_BEGIN

bool AdmitOverLimit(size_t callbackRequest, int64_t callbackTotal, int64_t limit,
                    bool allowOverallocation) {
  if (!overallocationEnabled.load(std::memory_order_relaxed)) return false;
  if (!allowOverallocation) return false;
  if (OverallocationCallback callback = onOverallocation.load(std::memory_order_relaxed)) {
    callback(callbackRequest, callbackTotal, limit);
  }
  return true;
}

void* TakeBlockOverLimit(size_t size, int64_t used, int64_t limit, bool allowOverallocation,
                         size_t alignment) {
  if (!AdmitOverLimit(size, used, limit, allowOverallocation)) return nullptr;
  return alignment == 0 ? TakeAccountedBlock(size, used, 0)
                        : TakeAccountedBlock(size, used, alignment);
}

void* TakeAlignedSystemBlock(size_t alignment, size_t size) noexcept {
  void* block = nullptr;
  return ::posix_memalign(&block, alignment, size) == 0 ? block : nullptr;
}

void* TryReallocate(void* block, size_t size, bool allowOverallocation) {
  int64_t const used = usedMemory.load(std::memory_order_relaxed);
  int64_t const old = block == nullptr ? 0 : static_cast<int64_t>(malloc_usable_size(block));
  int64_t const limit = maxMemory.load(std::memory_order_relaxed);
  size_t const need = RoundUp16(size);
  // Growth over the old usable size; wraps to a "negative" value for a shrink.
  size_t const growth = need - static_cast<size_t>(old);
  int64_t const projected = WrappingAdd(used, growth);

  // The budget test comes first, also for a release by size 0: a block whose removal still
  // leaves the total over the limit stays live unless this attempt may over-allocate.
  if (IsOverLimit(projected, limit)) {
    if (!AdmitOverLimit(growth, projected, limit, allowOverallocation)) return nullptr;
  }
  if (size == 0) {
    if (block != nullptr) {
      AccountDelta(-old);
      std::free(block);
    }
    return nullptr;
  }
  void* const result = std::realloc(block, size);
  if (result == nullptr) {
    // The old block is untouched and still accounted.
    ReportSystemAllocationFailure(static_cast<size_t>(projected), growth);
    return nullptr;
  }
  // Holds whether the block moved or was resized in place.
  AccountDelta(static_cast<int64_t>(malloc_usable_size(result)) - old);
  return result;
}

MEMMGR_INTERNAL_NAMESPACE_END
