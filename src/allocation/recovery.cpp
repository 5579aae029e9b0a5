#include "recovery.h"

#include "../budget/hooks.h"
#include "fast_path.h"
#include "recovery_counts.h"
#include "resize.h"

MEMMGR_INTERNAL_NAMESPACE_BEGIN

namespace {

void* Attempt(AllocationRequest const& request, size_t size, Overallocation overallocation) {
  if (request.kind == RequestKind::NewBlock) {
    return TryAllocate(size, overallocation, request.alignment);
  }
  return TryReallocate(request.block, size, overallocation);
}

// The hook is read afresh before each call, so it may replace or remove itself mid-sequence.
void Collect(size_t amount) {
  if (GarbageCollectHook hook = LoadGarbageCollectHook()) {
    CountRecoveryEvent(recoveryCounts.collections);
    hook(amount);
  }
}

void FireMemoryFull(size_t size) {
  // The exchange lets one thread at most fire the handler until Set_GTMC_MemoryFull re-arms
  // it; acquire pairs with the release there, so the re-arming thread's handler is seen.
  // The flag is set before the call, so a handler that itself fails to allocate does not
  // fire again. Other threads do not wait for the handler; they go on retrying.
  if (memoryFullFired.exchange(true, std::memory_order_acq_rel)) return;
  memoryFull.store(true, std::memory_order_relaxed);
  CountRecoveryEvent(recoveryCounts.memoryFullEvents);
  if (MemoryFullHandler handler = LoadMemoryFullHandler()) handler(size);
}

constexpr size_t kCollectEverything = SIZE_MAX;

}  // namespace

void* RecoverAllocation(AllocationRequest const& request, size_t size) {
  Collect(size);
  if (void* block = Attempt(request, size, Overallocation::Refused)) return block;

  if (GarbageCollectHook hook = LoadGarbageCollectHook()) {
    CountRecoveryEvent(recoveryCounts.collections);
    hook(size + (size >> 1));
    Collect(kCollectEverything);
  }
  if (void* block = Attempt(request, size, Overallocation::Allowed)) return block;

  Collect(kCollectEverything);
  FireMemoryFull(size);
  Collect(kCollectEverything);

  for (int round = 0; round < RecoveryRounds; ++round) {
    if (void* block = Attempt(request, size, Overallocation::Allowed)) return block;
    Collect(kCollectEverything);
  }
  return nullptr;
}

void* RecoverNewBlock(size_t size, size_t alignment) {
  if (size == 0) return nullptr;
  return RecoverAllocation({nullptr, RequestKind::NewBlock, alignment}, size);
}

MEMMGR_INTERNAL_NAMESPACE_END
