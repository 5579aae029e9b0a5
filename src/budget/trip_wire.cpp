#include "trip_wire.h"

#include <algorithm>

MEMMGR_INTERNAL_NAMESPACE_BEGIN

constinit std::atomic<int64_t> peakUsedMemory{0};
constinit std::atomic<int64_t> pressureThreshold{kNoPressureThreshold};
constinit std::atomic<MemoryPressureCallback> pressureCallback{nullptr};
constinit std::atomic<int64_t> highTotalTripWire{0};

namespace {
int64_t TripWireFigure() noexcept {
  return std::min(peakUsedMemory.load(std::memory_order_seq_cst),
                  pressureThreshold.load(std::memory_order_seq_cst));
}
}  // namespace

void RefreshTripWire() noexcept {
  // Writers race: one may store a figure computed from a peak or threshold that another has
  // since lowered. Checking the sources again after the store, all in one total order, means
  // the last writer to finish leaves the figure that holds.
  for (int64_t figure = TripWireFigure();;) {
    highTotalTripWire.store(figure, std::memory_order_seq_cst);
    int64_t const now = TripWireFigure();
    if (now == figure) return;
    figure = now;
  }
}

void NoteHighTotal(int64_t total, TotalChange change) {
  int64_t peak = peakUsedMemory.load(std::memory_order_relaxed);
  while (total > peak &&
         !peakUsedMemory.compare_exchange_weak(peak, total, std::memory_order_relaxed)) {
  }
  // Disarming by swapping the threshold itself makes the firing step the only one per arming;
  // acquire pairs with the setter's release, so the callback of that arming is seen.
  int64_t threshold = pressureThreshold.load(std::memory_order_acquire);
  bool const fire = change == TotalChange::Raised && total > threshold &&
                    pressureThreshold.compare_exchange_strong(threshold, kNoPressureThreshold,
                                                              std::memory_order_acq_rel);
  RefreshTripWire();
  if (!fire) return;
  // After the refresh: a callback that allocates, or re-arms the signal, sees it settled.
  if (MemoryPressureCallback callback = pressureCallback.load(std::memory_order_relaxed)) {
    callback(total, threshold);
  }
}

MEMMGR_INTERNAL_NAMESPACE_END
