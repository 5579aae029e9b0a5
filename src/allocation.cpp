// SPDX-License-Identifier: Apache-2.0
// The C allocation family: malloc, realloc and free, and the rest of the family on the same
// road (allocation.h).
#include "allocation.h"

#include <cerrno>
#include <cstring>

MEMMGR_INTERNAL_NAMESPACE_BEGIN

namespace {

// One attempt at resizing. A size of 0 releases the block (null does nothing) and returns
// null, whatever the total. Otherwise null when the budget refuses the growth or realloc
// fails; the block is then untouched and still accounted.
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
  int64_t projected = WrappingAdd(used, growth);

  // A shrink is tested too: a block whose smaller size still leaves the total over the limit
  // is refused unless this attempt may over-allocate.
  if (IsOverLimit(projected, limit)) {
    projected = WrappingAdd(TotalOfDecision(used), growth);
    if (IsOverLimit(projected, limit) && !AdmitOverLimit(growth, projected, limit, overallocation))
      return nullptr;
  }
  SampledResize const sampled = HoldSampledBlock(block);
  void* const result = std::realloc(block, size);
  if (result == nullptr) {
    if (sampled.on) SettleSampledResize(sampled, 0, nullptr, 0);
    // The old block is untouched and still accounted.
    ReportSystemAllocationFailure(static_cast<size_t>(projected), growth);
    return nullptr;
  }
  // Holds whether the block moved or was resized in place.
  size_t const usable = UsableSizeOfNewBlock(result);
  AccountChange(static_cast<int64_t>(usable) - old);
  if (sampled.on) SettleSampledResize(sampled, static_cast<size_t>(old), result, usable);
  return result;
}

// A block being resized stays valid and accounted when all fails.
MEMMGR_COLD void* RecoverResize(void* block, size_t size) {
  void* const result = Recover(size, [block, size](Overallocation overallocation) {
    return TryReallocate(block, size, overallocation);
  });
  return result != nullptr ? result : OutOfMemory();
}

// An alignment no block can have, refused as aligned_alloc refuses it, before any accounting
// or hook: no recovery can make it possible.
MEMMGR_COLD void* InvalidAlignment() noexcept {
  errno = EINVAL;
  return nullptr;
}

}  // namespace

MEMMGR_INTERNAL_NAMESPACE_END

extern "C" {

void* mmgr_malloc(size_t size) { return memmgr::AllocateAccounted(size); }

void* mmgr_realloc(void* block, size_t size) {
  void* const result = memmgr::TryReallocate(block, size, memmgr::Overallocation::Refused);
  // A zero size has released the block: nothing to recover.
  if (size == 0 || result != nullptr) return result;
  return memmgr::RecoverResize(block, size);
}

void mmgr_free(void* block) { memmgr::ReleaseAccounted(block); }

void* mmgr_calloc(size_t count, size_t size) {
  size_t total = 0;
  // A wrapped product would hand back a block smaller than the caller believes it has.
  if (__builtin_mul_overflow(count, size, &total)) return memmgr::OutOfMemory();
  void* const block = memmgr::AllocateAccounted(total);
  if (block != nullptr) std::memset(block, 0, total);
  return block;
}

void* mmgr_aligned_alloc(size_t alignment, size_t size) {
  if (!memmgr::IsPowerOfTwo(alignment)) return memmgr::InvalidAlignment();
  return memmgr::NeedsOwnAlignment(alignment) ? memmgr::AllocateAccounted(size, alignment)
                                              : memmgr::AllocateAccounted(size);
}

void mmgr_aligned_free(void* block) { memmgr::ReleaseAccounted(block); }

size_t mmgr_malloc_usable_size(void* block) {
  return block == nullptr ? 0 : memmgr::UsableSizeOfHeldBlock(block);
}

size_t mmgr_malloc_good_size(size_t size) { return memmgr::RoundUp16(size); }

int mmgr_trim_memory(void) { return 0; }

void mmgr_check_consistency(void) {}

}  // extern "C"
