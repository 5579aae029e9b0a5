#include "resize.h"

#include "fast_path.h"

MEMMGR_INTERNAL_NAMESPACE_BEGIN

void* TryReallocate(void* block, size_t size, Overallocation overallocation) {
  // A release is never refused: a caller cannot tell a null that kept the block from the null
  // of a release, so a refusal here would leak the block and keep the total up for good.
  if (size == 0) {
    ReleaseAccounted(block);
    return nullptr;
  }
  int64_t const used = TotalSeenHere();
  int64_t const old = block == nullptr ? 0 : static_cast<int64_t>(UsableSizeOfHeldBlock(block));
  int64_t const limit = maxMemory.load(std::memory_order_relaxed);
  // Growth over the old usable size; wraps to a "negative" value for a shrink.
  size_t const growth = RoundUp16(size) - static_cast<size_t>(old);
  int64_t const projected = WrappingAdd(used, growth);

  // A shrink is tested too: a block whose smaller size still leaves the total over the limit
  // is refused unless this attempt may over-allocate.
  if (IsOverLimit(projected, limit)) {
    if (!AdmitOverLimit(growth, projected, limit, overallocation)) return nullptr;
  }
  void* const result = std::realloc(block, size);
  if (result == nullptr) {
    // The old block is untouched and still accounted.
    ReportSystemAllocationFailure(static_cast<size_t>(projected), growth);
    return nullptr;
  }
  // Holds whether the block moved or was resized in place.
  AccountChange(static_cast<int64_t>(UsableSizeOfNewBlock(result)) - old);
  return result;
}

MEMMGR_INTERNAL_NAMESPACE_END
