// The usable size of a system-allocator block, which is what the block is accounted at.
//
// Some allocators build what answers malloc_usable_size on its first call, with `new`
// (gperftools' tcmalloc creates its extension object so). When the library's operators are
// in effect that `new` is ours, and accounting its block asks malloc_usable_size again, which
// is still on its first call: the stack runs out. So the first calls go through an out-of-line
// function that notices a call nested in this thread's own first call; once one call has
// returned, the pointers below hold malloc_usable_size itself. The success path calls through
// them either way: a load and a call, one instruction more than the GOT call of -fno-plt,
// which a release wins back by leaving a null block to malloc_usable_size (fast_path.h).
//
// A nested call cannot learn the size. A block just taken is accounted once the outer call has
// returned (kNestedBlocks per thread at most; any further one stays unaccounted), and a block
// released there that was taken there is dropped from that list: it was never counted.
#pragma once

#include <malloc.h>

#include <atomic>
#include <cstddef>

#include "../internal.h"

MEMMGR_INTERNAL_NAMESPACE_BEGIN

// The system's own shape: glibc declares malloc_usable_size(void*) noexcept, bionic takes a
// const void* and promises nothing. The first-call functions take the same.
using UsableSizeFunction = decltype(&malloc_usable_size);
template <typename>
struct BlockParameterOf;
template <typename Block, bool kNoexcept>
struct BlockParameterOf<size_t (*)(Block) noexcept(kNoexcept)> {
  using Type = Block;
};
using SystemBlock = BlockParameterOf<UsableSizeFunction>::Type;

// A block the system allocator has just given: its size is added.
extern constinit std::atomic<UsableSizeFunction> usableSizeOfNewBlock;
// A block about to be released or resized: its size is taken off.
extern constinit std::atomic<UsableSizeFunction> usableSizeOfHeldBlock;

inline constexpr int kNestedBlocks = 8;

MEMMGR_ALWAYS_INLINE size_t UsableSizeOfNewBlock(void* block) noexcept {
  // Relaxed: the pointer is only ever one of two functions, both callable at any time.
  return usableSizeOfNewBlock.load(std::memory_order_relaxed)(block);
}
MEMMGR_ALWAYS_INLINE size_t UsableSizeOfHeldBlock(void* block) noexcept {
  return usableSizeOfHeldBlock.load(std::memory_order_relaxed)(block);
}

MEMMGR_INTERNAL_NAMESPACE_END
