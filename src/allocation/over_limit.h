// Requests over the limit and aligned blocks: the rare roads out of the fast path.
#pragma once

#include <cstddef>
#include <cstdint>

#include "../budget/budget_state.h"

MEMMGR_INTERNAL_NAMESPACE_BEGIN

// Whether an attempt may take a request over the limit: the quick attempt may not, the later
// attempts of the recovery sequence may (when the host has not disabled over-allocation).
enum class Overallocation : bool { Refused, Allowed };

// A request over the limit: true when it may still be allocated, after telling the
// over-allocation callback. Its arguments depend on the caller (see OverallocationCallback).
MEMMGR_COLD bool AdmitOverLimit(size_t callbackRequest, int64_t callbackTotal, int64_t limit,
                                Overallocation overallocation);

// A new block the budget test found over the limit: admitted or refused as AdmitOverLimit
// says, then taken out of line. Not rejoining the inlined path keeps its registers free of the
// call's aftermath. The test read the limit without keeping it, so it is read again here, and
// the decision and the callback both go by that reading.
MEMMGR_COLD void* TakeBlockOverLimit(size_t size, int64_t used, Overallocation overallocation,
                                     size_t alignment);

// posix_memalign with null for failure; `alignment` is a power of two above 16.
MEMMGR_COLD void* TakeAlignedSystemBlock(size_t alignment, size_t size) noexcept;

MEMMGR_INTERNAL_NAMESPACE_END
