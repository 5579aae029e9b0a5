#include "high_water.h"

#include <algorithm>

MEMMGR_INTERNAL_NAMESPACE_BEGIN

constinit std::atomic<int64_t> peakUsedMemory{0};
constinit std::atomic<int64_t> pressureThreshold{kNoPressureThreshold};
constinit std::atomic<MemoryPressureCallback> pressureCallback{nullptr};
constinit std::atomic<int64_t> watchedTotal{0};

namespace {
int64_t WatchedFigure() noexcept {
  return std::min(peakUsedMemory.load(std::memory_order_seq_cst),
                  pressureThreshold.load(std::memory_order_seq_cst));
}
}  // namespace

void RefreshWatchedTotal() noexcept {
  // Writers race: one may store a figure computed from a peak or threshold that another has
  // since lowered. Checking the sources again after the store, all in one total order, means
  // the last writer to finish leaves the figure that holds.
  for (int64_t figure = WatchedFigure();; ) {
    watchedTotal.store(figure, std::memory_order_seq_cst);
    int64_t const now = WatchedFigure();
    if (now == figure) return;
    figure = now;
  }
}

void NoteHighTotal(int64_t total, bool raised) {
  int64_t peak = peakUsedMemory.load(std::memory_order_relaxed);
  while (total > peak &&
         !peakUsedMemory.compare_exchange_weak(peak, total, std::memory_order_relaxed)) {
  }
  // Disarming by swapping the threshold itself makes the firing step the only one per arming;
  // acquire pairs with the setter's release, so the callback of that arming is seen.
  int64_t threshold = pressureThreshold.load(std::memory_order_acquire);
  bool const fire = raised && total > threshold &&
                    pressureThreshold.compare_exchange_strong(threshold, kNoPressureThreshold,
                                                              std::memory_order_acq_rel);
  RefreshWatchedTotal();
  if (!fire) return;
  // After the refresh: a callback that allocates, or re-arms the signal, sees it settled.
  if (MemoryPressureCallback callback = pressureCallback.load(std::memory_order_relaxed)) {
    callback(total, threshold);
  }
}

MEMMGR_INTERNAL_NAMESPACE_END

extern "C" {

int64_t GTMC_GetPeakUsedMemory(void) {
  return memmgr::peakUsedMemory.load(std::memory_order_relaxed);
}

int64_t GTMC_ResetPeakUsedMemory(void) {
  int64_t const used = memmgr::usedMemory.load(std::memory_order_relaxed);
  int64_t const replaced = memmgr::peakUsedMemory.exchange(used < 0 ? 0 : used);
  memmgr::RefreshWatchedTotal();
  return replaced;
}

void GTMC_SetMemoryPressureCallback(int64_t threshold, MemoryPressureCallback callback) {
  bool const armed = callback != nullptr && threshold >= 0;
  memmgr::pressureCallback.store(callback, std::memory_order_relaxed);
  // Release: a step that finds this threshold also finds this callback.
  memmgr::pressureThreshold.store(armed ? threshold : memmgr::kNoPressureThreshold,
                                  std::memory_order_release);
  memmgr::RefreshWatchedTotal();
}

}  // extern "C"
