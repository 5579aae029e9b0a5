// The recovery sequence: what happens to a request the quick attempt could not meet.
#pragma once

#include <cstddef>
#include <cstdint>

#include "../internal.h"

MEMMGR_INTERNAL_NAMESPACE_BEGIN

// Attempts made after the memory-full handler, each followed by a full collection.
inline constexpr int RecoveryRounds = 512;

enum class RequestKind : int32_t { NewBlock = 0, ResizeBlock = 1 };

// The request the recovery sequence serves; lives on the entry point's stack for one call.
struct AllocationRequest {
  void* block;  // the block being resized; null for a new block
  RequestKind kind;
  size_t alignment = 0;  // for NewBlock: 0 for malloc's own, else a power of two above it
};

// Escalates a request the quick attempt could not meet: asks the host to collect, lets the
// request exceed the limit, fires the memory-full handler, and retries. Null when all fails;
// a block being resized then stays valid and accounted.
MEMMGR_COLD void* RecoverAllocation(AllocationRequest const& request, size_t size);

// What follows a refused quick attempt of a new block: an empty request gives up at once.
MEMMGR_COLD void* RecoverNewBlock(size_t size, size_t alignment);

MEMMGR_INTERNAL_NAMESPACE_END
