// SPDX-License-Identifier: Apache-2.0
// The first malloc_usable_size calls of each thread, guarded against calls nested in them
// (allocation.h says why). A nested call cannot learn a size. A block just taken there is
// remembered (kNestedBlocks per thread at most; any further one stays unaccounted) and
// accounted with the block whose size the outer call asks, once it returns. A block released
// or resized there that was taken there is dropped from that list: it was never counted, and
// it is never asked about once freed. Any other block released there keeps its count, since
// its size cannot be learnt there.
#include <malloc.h>

#include "internal.h"

MEMMGR_INTERNAL_NAMESPACE_BEGIN

namespace {

// This thread is inside its first malloc_usable_size call (none had returned when it began).
constinit thread_local bool insideFirstCall = false;
// Blocks taken by calls nested in it, accounted with the block whose size that call asks.
constexpr int kNestedBlocks = 8;
constinit thread_local void* nestedBlocks[kNestedBlocks] = {};
constinit thread_local int nestedBlockCount = 0;

size_t NestedUsableSizeOfNewBlock(void* block) noexcept {
  if (nestedBlockCount < kNestedBlocks) nestedBlocks[nestedBlockCount++] = block;
  return 0;
}

size_t NestedUsableSizeOfHeldBlock(void* block) noexcept {
  for (int i = 0; i < nestedBlockCount; ++i) {
    if (nestedBlocks[i] == block) {
      nestedBlocks[i] = nestedBlocks[--nestedBlockCount];
      break;
    }
  }
  return 0;
}

}  // namespace

size_t FirstUsableSizeOfNewBlock(SystemBlock systemBlock) noexcept {
  void* const block = const_cast<void*>(systemBlock);
  if (insideFirstCall) return NestedUsableSizeOfNewBlock(block);
  insideFirstCall = true;
  // Relaxed: this thread's own releases see their own step (see carefulReleaseCeiling).
  carefulReleaseCeiling.fetch_sub(1, std::memory_order_relaxed);
  size_t size = malloc_usable_size(block);
  carefulReleaseCeiling.fetch_add(1, std::memory_order_relaxed);
  insideFirstCall = false;
  // Relaxed: a thread that still sees the old pointer takes this road once more, harmlessly.
  usableSizeOfNewBlock.store(&malloc_usable_size, std::memory_order_relaxed);
  // The caller accounts what this returns in one step: its block and the nested ones.
  while (nestedBlockCount > 0) size += malloc_usable_size(nestedBlocks[--nestedBlockCount]);
  return size;
}

size_t CarefulUsableSizeOfHeldBlock(void* block) noexcept {
  return insideFirstCall ? NestedUsableSizeOfHeldBlock(block) : malloc_usable_size(block);
}

MEMMGR_INTERNAL_NAMESPACE_END
