// The usable size of a system-allocator block, which is what the block is accounted at.
//
// Some allocators build what answers malloc_usable_size on its first call, with `new`
// (gperftools' tcmalloc creates its extension object so). When the library's operators are
// in effect that `new` is ours, and accounting its block asks malloc_usable_size again, which
// is still on its first call: the stack runs out. Only an allocation can start that: a block
// is released only after the allocation that accounted it has had its answer.
//
// So a new block's size is asked through a pointer whose first target, out of line, notices a
// call nested in this thread's own first call; once one call has returned it holds
// malloc_usable_size itself. The success path pays one load for it (compilers do not fold an
// atomic load into the call), which the budget test wins back with g++ (budget_state.h).
//
// A release nested in a first call must not ask either. While any thread is inside its first
// call, carefulReleaseCeiling is above every user-space address, and every release leaves the
// success path to ask on the road that tells nested calls apart; otherwise it is 0. So the
// success path of a release tests one bound that covers null as well, in the two instructions
// the null test took, and calls malloc_usable_size directly.
//
// A nested call cannot learn the size. A block just taken is accounted once the outer call has
// returned (kNestedBlocks per thread at most; any further one stays unaccounted), and a block
// released or resized there that was taken there is dropped from that list: it was never
// counted, and it is never asked about once freed. Any other block released there keeps its
// count, since its size cannot be learnt there.
#pragma once

#include <malloc.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "../internal.h"

MEMMGR_INTERNAL_NAMESPACE_BEGIN

// The system's own shape: glibc declares malloc_usable_size(void*) noexcept, bionic takes a
// const void* and promises nothing. The first-call function takes the same.
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

// 0 minus the number of threads inside their first call, modulo 2^64: 0 when there are none,
// else at least 2^64 - (threads), above any address a block can have. A thread's own entry is
// visible to its own later reads, which is all a nested release needs; another thread that
// sees it late or early only takes the careful road once more or once less, harmlessly.
extern constinit std::atomic<uintptr_t> carefulReleaseCeiling;

inline constexpr int kNestedBlocks = 8;

MEMMGR_ALWAYS_INLINE size_t UsableSizeOfNewBlock(void* block) noexcept {
  // Relaxed: the pointer is only ever one of two functions, both callable at any time.
  return usableSizeOfNewBlock.load(std::memory_order_relaxed)(block);
}

// Null, or any block while some thread is inside its first call. On x86-64 the comparison
// reads the bound itself, as the trip-wire's does with g++ (trip_wire.h), so that the test
// costs what a null test does; here the flag goes straight to the branch, which clang handles
// as well.
MEMMGR_ALWAYS_INLINE bool NeedsCarefulRelease(void* block) noexcept {
  uintptr_t const address = reinterpret_cast<uintptr_t>(block);
#if defined(__x86_64__) && defined(__GCC_ASM_FLAG_OUTPUTS__)
  static_assert(sizeof(carefulReleaseCeiling) == 8 && std::atomic<uintptr_t>::is_always_lock_free);
  bool careful;
  asm("cmpq %2, %1" : "=@ccbe"(careful) : "r"(address), "m"(carefulReleaseCeiling));
  return careful;
#else
  return address <= carefulReleaseCeiling.load(std::memory_order_relaxed);
#endif
}

// The size of a block about to be released or resized, asked out of line (not null).
MEMMGR_COLD size_t CarefulUsableSizeOfHeldBlock(void* block) noexcept;
// The release of a block (not null) that NeedsCarefulRelease sent off the success path.
MEMMGR_COLD void ReleaseCarefully(void* block) noexcept;

// A block (not null) about to be released or resized: its size is taken off.
MEMMGR_ALWAYS_INLINE size_t UsableSizeOfHeldBlock(void* block) noexcept {
  if (NeedsCarefulRelease(block)) [[unlikely]]
    return CarefulUsableSizeOfHeldBlock(block);
  return malloc_usable_size(block);
}

MEMMGR_INTERNAL_NAMESPACE_END
