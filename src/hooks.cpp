// SPDX-License-Identifier: Apache-2.0
// The two hooks the host may read and overwrite directly, and what they hold until it does.
#include <cstdlib>

#include "internal.h"

namespace {

void DefaultMemoryFull(unsigned long) { std::exit(1); }

int DefaultGarbageCollect(size_t) { return 0; }

}  // namespace

extern "C" {
constinit MemoryFullHandler GTMC_MemoryFull = &DefaultMemoryFull;
constinit GarbageCollectHook GTMC_GarbageCollect = &DefaultGarbageCollect;
}
