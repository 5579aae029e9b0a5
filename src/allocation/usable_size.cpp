#include "usable_size.h"

#include <malloc.h>

#include <cstdlib>

#include "fast_path.h"

MEMMGR_INTERNAL_NAMESPACE_BEGIN

namespace {

// This thread is inside its first malloc_usable_size call (none had returned when it began).
constinit thread_local bool insideFirstCall = false;
// Blocks taken by calls nested in it, accounted when it returns.
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

size_t FirstUsableSizeOfNewBlock(SystemBlock systemBlock) noexcept {
  void* const block = const_cast<void*>(systemBlock);
  if (insideFirstCall) return NestedUsableSizeOfNewBlock(block);
  insideFirstCall = true;
  // Relaxed: this thread's own releases see their own step (see usable_size.h).
  carefulReleaseCeiling.fetch_sub(1, std::memory_order_relaxed);
  size_t const size = malloc_usable_size(block);
  carefulReleaseCeiling.fetch_add(1, std::memory_order_relaxed);
  insideFirstCall = false;
  // Relaxed: a thread that still sees the old pointer takes this road once more, harmlessly.
  usableSizeOfNewBlock.store(&malloc_usable_size, std::memory_order_relaxed);
  while (nestedBlockCount > 0) {
    AccountAllocation(static_cast<int64_t>(malloc_usable_size(nestedBlocks[--nestedBlockCount])));
  }
  return size;
}

}  // namespace

size_t CarefulUsableSizeOfHeldBlock(void* block) noexcept {
  return insideFirstCall ? NestedUsableSizeOfHeldBlock(block) : malloc_usable_size(block);
}

void ReleaseCarefully(void* block) noexcept {
  AccountRelease(static_cast<int64_t>(CarefulUsableSizeOfHeldBlock(block)));
  std::free(block);
}

constinit std::atomic<UsableSizeFunction> usableSizeOfNewBlock = &FirstUsableSizeOfNewBlock;
constinit std::atomic<uintptr_t> carefulReleaseCeiling = 0;

MEMMGR_INTERNAL_NAMESPACE_END
