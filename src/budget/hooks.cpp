#include "hooks.h"

#include <cstdlib>

MEMMGR_INTERNAL_NAMESPACE_BEGIN

void DefaultMemoryFull(unsigned long) { std::exit(1); }

int DefaultGarbageCollect(size_t) { return 0; }

MEMMGR_INTERNAL_NAMESPACE_END

extern "C" {
constinit MemoryFullHandler GTMC_MemoryFull = &memmgr::DefaultMemoryFull;
constinit GarbageCollectHook GTMC_GarbageCollect = &memmgr::DefaultGarbageCollect;
}
