// SPDX-License-Identifier: Apache-2.0
// Read-only views of the budget, the peak by phase, the operating system's view of the
// process, and the table that tells a reader outside the process where the figures live.
// Relaxed loads: a figure may be stale when it returns.
#include <unistd.h>

#include <cstdio>

#include "allocation.h"

namespace {

int64_t Limit() noexcept { return memmgr::maxMemory.load(std::memory_order_relaxed); }

int64_t UsedClamped() noexcept {
  int64_t const used = memmgr::TotalOfFigures();
  return used < 0 ? 0 : used;
}

// Constant-initialised: valid from the moment the library is mapped, before any initialiser.
constinit mmgr_figure_locations const kLocations = {
    .version = MMGR_FIGURE_LOCATIONS_VERSION,
    .size = sizeof(mmgr_figure_locations),
    .total = &memmgr::usedMemory,
    .limit = &memmgr::maxMemory,
    .peak = &memmgr::peakUsedMemory,
    .collections = &memmgr::recoveryCounts.collections,
    .overallocations = &memmgr::recoveryCounts.overallocations,
    .memoryFullEvents = &memmgr::recoveryCounts.memoryFullEvents,
    .memoryFull = &memmgr::memoryFull,
    .newAccounted = &memmgr::operatorsInEffect,
};

// The reader takes the values as plain integers of these sizes.
static_assert(sizeof(memmgr::usedMemory) == 8 && std::atomic<int64_t>::is_always_lock_free);
static_assert(sizeof(memmgr::memoryFull) == 1 && std::atomic<bool>::is_always_lock_free);
static_assert(sizeof(memmgr::operatorsInEffect) == 1);

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

int64_t GTMC_GetOSUsedMemory(void) {
  // Opened and read afresh at every call: the figure is the kernel's, never cached.
  std::FILE* const statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr) return 0;
  long residentPages = 0;
  int const converted = std::fscanf(statm, "%*s%ld", &residentPages);
  std::fclose(statm);
  if (converted != 1) return 0;
  return static_cast<int64_t>(residentPages) * static_cast<int64_t>(sysconf(_SC_PAGESIZE));
}

bool GTMC_IsMemoryFull(void) { return memmgr::memoryFull.load(std::memory_order_relaxed); }

int64_t GTMC_GetPeakUsedMemory(void) {
  return memmgr::peakUsedMemory.load(std::memory_order_relaxed);
}

int64_t GTMC_ResetPeakUsedMemory(void) {
  int64_t const used = memmgr::TotalOfFigures();
  int64_t const replaced = memmgr::peakUsedMemory.exchange(used < 0 ? 0 : used);
  memmgr::RefreshTripWire();
  return replaced;
}

// Hosts bracket regions that must not allocate with these; nothing is checked.
void GTMC_BeginAlloclessBlock(void) {}
void GTMC_EndAlloclessBlock(void) {}

mmgr_figure_locations const* mmgr_get_figure_locations(void) { return &kLocations; }

}  // extern "C"
