// Which alignments the system allocator is asked for, shared by mmgr_aligned_alloc and the
// aligned operator new forms so that both take the same road for the same alignment.
#pragma once

#include <cstddef>

#include "../internal.h"

MEMMGR_INTERNAL_NAMESPACE_BEGIN

// What malloc already guarantees on the targets (16 on 64-bit Linux and Android).
inline constexpr size_t kSystemAlignment = alignof(std::max_align_t);

constexpr bool IsPowerOfTwo(size_t n) noexcept { return n != 0 && (n & (n - 1)) == 0; }

// An alignment the system allocator does not already meet, and that it can be asked for.
constexpr bool NeedsOwnAlignment(size_t alignment) noexcept {
  return alignment > kSystemAlignment && IsPowerOfTwo(alignment);
}

MEMMGR_INTERNAL_NAMESPACE_END
