// The setters through which the host changes the policy. None validates its argument; each
// is a single relaxed store, so an allocation in progress sees either the old or new value.
#include "budget_state.h"

MemoryFullHandler Set_GTMC_MemoryFull(MemoryFullHandler handler) {
  MemoryFullHandler previous = memmgr::LoadMemoryFullHandler();
  std::atomic_ref<MemoryFullHandler>(GTMC_MemoryFull).store(handler, std::memory_order_relaxed);
  // Release: a thread whose exchange finds the flag cleared also sees the new handler.
  memmgr::memoryFullFired.store(false, std::memory_order_release);
  return previous;
}

extern "C" {

int GTMC_SetMemoryAllocationRules(int64_t limit) {
  if (memmgr::rulesSettable.load(std::memory_order_relaxed)) {
    memmgr::maxMemory.store(limit, std::memory_order_relaxed);
  }
  return 0;
}

void GTMC_GetMemoryAllocationRules(int64_t* limit, int64_t* reserved) {
  *limit = memmgr::maxMemory.load(std::memory_order_relaxed);
  *reserved = 0;
}

void GMM_EnableOverallocation(bool enable) {
  memmgr::overallocationEnabled.store(enable, std::memory_order_relaxed);
}

void GMM_SetOnOverallocation(OverallocationCallback callback) {
  memmgr::onOverallocation.store(callback, std::memory_order_relaxed);
}

}  // extern "C"
