// The setters through which the host changes the policy and arms its signals. None validates
// its argument. Each setting is one relaxed store (an allocation in progress sees the old or
// the new value); the two that re-arm something pair that store with a release store of the
// flag or threshold a firing step checks, and the pressure setter then refreshes the trip-wire.
#include "budget_state.h"
#include "hooks.h"
#include "trip_wire.h"

MemoryFullHandler Set_GTMC_MemoryFull(MemoryFullHandler handler) {
  MemoryFullHandler previous = memmgr::LoadMemoryFullHandler();
  memmgr::StoreMemoryFullHandler(handler);
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

void GTMC_SetMemoryPressureCallback(int64_t threshold, MemoryPressureCallback callback) {
  bool const armed = callback != nullptr && threshold >= 0;
  memmgr::pressureCallback.store(callback, std::memory_order_relaxed);
  // Release: a step that finds this threshold also finds this callback.
  memmgr::pressureThreshold.store(armed ? threshold : memmgr::kNoPressureThreshold,
                                  std::memory_order_release);
  memmgr::RefreshTripWire();
}

}  // extern "C"
