// Read-only views of the budget. Relaxed loads: a figure may be stale when it returns.
#include "../budget/thread_books.h"

namespace {

int64_t Limit() noexcept { return memmgr::maxMemory.load(std::memory_order_relaxed); }

int64_t UsedClamped() noexcept {
  int64_t const used = memmgr::TotalSeenHere();
  return used < 0 ? 0 : used;
}

}  // namespace

extern "C" {

int64_t GTMC_GetTotalMemory(void) { return Limit(); }
int64_t GTMC_GetTotalUseableMemory(void) { return Limit(); }
int64_t GTMC_GetTotalUseableMemoryApproximation(void) { return Limit(); }

int64_t GTMC_GetTotalUsedMemory(void) { return UsedClamped(); }

int64_t GTMC_GetFreeMemory(void) {
  // Compared before subtracting: a limit of 2^63 or more reads as negative, every request is
  // over it, and the wrapped difference would report almost 2^63 bytes free.
  int64_t const limit = Limit();
  int64_t const used = UsedClamped();
  return limit > used ? limit - used : 0;
}

int64_t GTMC_GetAllocationSizeInCurrentThread(void) { return memmgr::ThisThreadsAllocations(); }

bool GTMC_IsMemoryFull(void) { return memmgr::memoryFull.load(std::memory_order_relaxed); }

// Hosts bracket regions that must not allocate with these; nothing is checked.
void GTMC_BeginAlloclessBlock(void) {}
void GTMC_EndAlloclessBlock(void) {}

}  // extern "C"
