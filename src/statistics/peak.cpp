// The high-water mark of the accounted total, by phase.
#include "../budget/thread_books.h"
#include "../budget/trip_wire.h"

extern "C" {

int64_t GTMC_GetPeakUsedMemory(void) {
  return memmgr::peakUsedMemory.load(std::memory_order_relaxed);
}

int64_t GTMC_ResetPeakUsedMemory(void) {
  int64_t const used = memmgr::TotalSeenHere();
  int64_t const replaced = memmgr::peakUsedMemory.exchange(used < 0 ? 0 : used);
  memmgr::RefreshTripWire();
  return replaced;
}

}  // extern "C"
