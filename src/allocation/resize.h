// Resizing an accounted block through realloc under the budget.
#pragma once

#include <cstddef>

#include "over_limit.h"

MEMMGR_INTERNAL_NAMESPACE_BEGIN

// One attempt. A size of 0 releases the block (null does nothing) and returns null, whatever
// the total. Otherwise null when the budget refuses the growth or realloc fails; the block is
// then untouched and still accounted.
void* TryReallocate(void* block, size_t size, Overallocation overallocation);

MEMMGR_INTERNAL_NAMESPACE_END
