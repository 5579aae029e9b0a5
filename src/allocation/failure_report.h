// The one report the library ever writes: the first system-allocator failure of the process.
#pragma once

#include <cstddef>
#include <cstdint>

#include "../internal.h"

MEMMGR_INTERNAL_NAMESPACE_BEGIN

MEMMGR_COLD void ReportSystemAllocationFailure(size_t allocated, size_t requested);

// The report for a failed allocation of a new block, given the unrounded request: rounding
// it here rather than in the caller keeps the rounded figure from being held across the
// malloc call of the inlined fast path, which costs a saved register in every entry point.
MEMMGR_COLD void ReportFailedNewBlock(int64_t used, size_t size);

MEMMGR_INTERNAL_NAMESPACE_END
