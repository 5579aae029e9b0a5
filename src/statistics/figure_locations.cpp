// The table that tells a reader outside the process where the figures live.
#include "../allocation/recovery_counts.h"
#include "../budget/trip_wire.h"

MEMMGR_INTERNAL_NAMESPACE_BEGIN

constinit RecoveryCounts recoveryCounts;

namespace {

// Constant-initialised: valid from the moment the library is mapped, before any initialiser.
constinit mmgr_figure_locations const kLocations = {
    .version = MMGR_FIGURE_LOCATIONS_VERSION,
    .size = sizeof(mmgr_figure_locations),
    .total = &usedMemory,
    .limit = &maxMemory,
    .peak = &peakUsedMemory,
    .collections = &recoveryCounts.collections,
    .overallocations = &recoveryCounts.overallocations,
    .memoryFullEvents = &recoveryCounts.memoryFullEvents,
    .memoryFull = &memoryFull,
    .newAccounted = &operatorsInEffect,
};

// The reader takes the values as plain integers of these sizes.
static_assert(sizeof(usedMemory) == 8 && std::atomic<int64_t>::is_always_lock_free);
static_assert(sizeof(memoryFull) == 1 && std::atomic<bool>::is_always_lock_free);
static_assert(sizeof(operatorsInEffect) == 1);

}  // namespace

MEMMGR_INTERNAL_NAMESPACE_END

extern "C" mmgr_figure_locations const* mmgr_get_figure_locations(void) {
  return &memmgr::kLocations;
}
