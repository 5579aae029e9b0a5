#include "usable_size.h"

#include <malloc.h>

#include "fast_path.h"

MEMMGR_INTERNAL_NAMESPACE_BEGIN

namespace {

// This thread is inside its first malloc_usable_size call (none had returned when it began).
constinit thread_local bool insideFirstCall = false;
// Blocks taken by calls nested in it, accounted when it returns.
constinit thread_local void* nestedBlocks[kNestedBlocks] = {};
constinit thread_local int nestedBlockCount = 0;

enum class BlockRole : bool { New, Held };

size_t NestedUsableSize(void* block, BlockRole role) noexcept {
  if (role == BlockRole::New) {
    if (nestedBlockCount < kNestedBlocks) nestedBlocks[nestedBlockCount++] = block;
    return 0;
  }
  for (int i = 0; i < nestedBlockCount; ++i) {
    if (nestedBlocks[i] == block) {
      nestedBlocks[i] = nestedBlocks[--nestedBlockCount];
      break;
    }
  }
  return 0;
}

MEMMGR_COLD size_t FirstUsableSize(void* block, BlockRole role) noexcept {
  if (insideFirstCall) return NestedUsableSize(block, role);
  insideFirstCall = true;
  size_t const size = malloc_usable_size(block);
  insideFirstCall = false;
  // Relaxed: a thread that still sees the old pointer takes this road once more, harmlessly.
  usableSizeOfNewBlock.store(&malloc_usable_size, std::memory_order_relaxed);
  usableSizeOfHeldBlock.store(&malloc_usable_size, std::memory_order_relaxed);
  while (nestedBlockCount > 0) {
    AccountAllocation(static_cast<int64_t>(malloc_usable_size(nestedBlocks[--nestedBlockCount])));
  }
  return size;
}

size_t FirstUsableSizeOfNewBlock(SystemBlock block) noexcept {
  return FirstUsableSize(const_cast<void*>(block), BlockRole::New);
}
size_t FirstUsableSizeOfHeldBlock(SystemBlock block) noexcept {
  return FirstUsableSize(const_cast<void*>(block), BlockRole::Held);
}

}  // namespace

constinit std::atomic<UsableSizeFunction> usableSizeOfNewBlock = &FirstUsableSizeOfNewBlock;
constinit std::atomic<UsableSizeFunction> usableSizeOfHeldBlock = &FirstUsableSizeOfHeldBlock;

MEMMGR_INTERNAL_NAMESPACE_END
