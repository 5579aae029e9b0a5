// The accounted primitives: every accounted allocation, resize and release goes through
// these, and they keep usedMemory equal to the sum of malloc_usable_size over live blocks.
//
// TryAllocate and ReleaseAccounted are inlined into each entry point: their success path is
// one system call, one malloc_usable_size, one atomic read-modify-write on the shared total
// and one thread-local update. Everything rarer sits out of line in the .cpp files.
#pragma once

#include <malloc.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "../budget/high_water.h"

MEMMGR_INTERNAL_NAMESPACE_BEGIN

// The figure every budget test uses; modulo 2^64, so requests above SIZE_MAX - 15 give 0.
constexpr size_t RoundUp16(size_t n) noexcept { return (n + 15) & ~size_t{15}; }

// Byte counts wrap modulo 2^64 and are compared with the limit as signed values.
constexpr bool IsOverLimit(int64_t total, int64_t limit) noexcept { return total > limit; }
constexpr int64_t WrappingAdd(int64_t a, uint64_t b) noexcept {
  return static_cast<int64_t>(static_cast<uint64_t>(a) + b);
}

// A request over the limit: true when it may still be allocated (over-allocation enabled and
// allowed for this attempt), after telling the over-allocation callback. The callback's
// arguments depend on the caller (see OverallocationCallback).
MEMMGR_COLD bool AdmitOverLimit(size_t callbackRequest, int64_t callbackTotal, int64_t limit,
                                bool allowOverallocation);

// The one-time report of a system-allocator failure (failure_report.cpp).
MEMMGR_COLD void ReportSystemAllocationFailure(size_t allocated, size_t requested);

// The report for a failed allocation of a new block, given the unrounded request: rounding
// it here rather than in the caller keeps the rounded figure from being held across the
// malloc call of the inlined fast path, which costs a saved register in every entry point.
MEMMGR_COLD void ReportFailedNewBlock(int64_t used, size_t size);

// posix_memalign with null for failure; `alignment` is a power of two above 16.
MEMMGR_COLD void* TakeAlignedSystemBlock(size_t alignment, size_t size) noexcept;

// Resizes through realloc under the budget (accounted_primitives.cpp).
void* TryReallocate(void* block, size_t size, bool allowOverallocation);

MEMMGR_ALWAYS_INLINE void AccountDelta(int64_t delta) noexcept {
  // Sequentially consistent: the total is the one figure all threads must agree on.
  int64_t const total = usedMemory.fetch_add(delta, std::memory_order_seq_cst) + delta;
  // Tested before the thread-local update so that the total need not outlive its call.
  if (IsAboveWatchedTotal(total)) [[unlikely]] {
    threadAllocated += delta;
    return NoteHighTotal(total, delta > 0);
  }
  threadAllocated += delta;
}

// Takes a new block from the system allocator and accounts it, after the budget test; `used`
// is the total that test read. `alignment` 0 takes the block with malloc; otherwise it is a
// power of two above the system allocator's own alignment. Callers pass a constant, so the
// choice folds away when inlined.
MEMMGR_ALWAYS_INLINE void* TakeAccountedBlock(size_t size, int64_t used, size_t alignment) {
  void* const block =
      alignment == 0 ? std::malloc(size) : TakeAlignedSystemBlock(alignment, size);
  if (block == nullptr) [[unlikely]] {
    ReportFailedNewBlock(used, size);
    return nullptr;
  }
  AccountDelta(static_cast<int64_t>(malloc_usable_size(block)));
  return block;
}

// A request over the limit: admitted or refused as AdmitOverLimit says, then taken out of
// line. Not rejoining the inlined path keeps its registers free of the call's aftermath.
MEMMGR_COLD void* TakeBlockOverLimit(size_t size, int64_t used, int64_t limit,
                                     bool allowOverallocation, size_t alignment);

MEMMGR_ALWAYS_INLINE void* TryAllocate(size_t size, bool allowOverallocation,
                                       size_t alignment = 0) {
  int64_t const used = usedMemory.load(std::memory_order_relaxed);
  int64_t const limit = maxMemory.load(std::memory_order_relaxed);
  size_t const need = RoundUp16(size);
  if (IsOverLimit(WrappingAdd(used, need), limit)) [[unlikely]] {
    return TakeBlockOverLimit(size, used, limit, allowOverallocation, alignment);
  }
  return TakeAccountedBlock(size, used, alignment);
}

MEMMGR_ALWAYS_INLINE void ReleaseAccounted(void* block) noexcept {
  if (block == nullptr) return;
  int64_t const size = static_cast<int64_t>(malloc_usable_size(block));
  usedMemory.fetch_sub(size, std::memory_order_seq_cst);
  threadAllocated -= size;
  std::free(block);
}

MEMMGR_INTERNAL_NAMESPACE_END
