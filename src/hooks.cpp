// SPDX-License-Identifier: Apache-2.0
// The two hooks the host may read and overwrite directly, and what they hold until it does.
#include <cstdlib>

#include "internal.h"

MEMMGR_INTERNAL_NAMESPACE_BEGIN

void DefaultMemoryFull(unsigned long) { std::exit(1); }

int DefaultGarbageCollect(size_t) { return 0; }

MEMMGR_INTERNAL_NAMESPACE_END

extern "C" {
constinit MemoryFullHandler GTMC_MemoryFull = &memmgr::DefaultMemoryFull;
constinit GarbageCollectHook GTMC_GarbageCollect = &memmgr::DefaultGarbageCollect;
}
