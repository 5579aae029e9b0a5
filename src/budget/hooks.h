// The two hooks the host may read and overwrite directly, and their defaults.
#pragma once

#include <atomic>

#include "../internal.h"
#include "memmgr"

MEMMGR_INTERNAL_NAMESPACE_BEGIN

void DefaultMemoryFull(unsigned long requestedSize);
int DefaultGarbageCollect(size_t amount);

// The exported hooks are plain objects the host may write directly (its copy may even be a
// copy relocation in the executable), so they are always reached through the exported
// symbol and accessed atomically in place, afresh at every use.
inline GarbageCollectHook LoadGarbageCollectHook() noexcept {
  return std::atomic_ref<GarbageCollectHook>(GTMC_GarbageCollect).load(std::memory_order_relaxed);
}
inline MemoryFullHandler LoadMemoryFullHandler() noexcept {
  return std::atomic_ref<MemoryFullHandler>(GTMC_MemoryFull).load(std::memory_order_relaxed);
}
inline void StoreMemoryFullHandler(MemoryFullHandler handler) noexcept {
  std::atomic_ref<MemoryFullHandler>(GTMC_MemoryFull).store(handler, std::memory_order_relaxed);
}

MEMMGR_INTERNAL_NAMESPACE_END
