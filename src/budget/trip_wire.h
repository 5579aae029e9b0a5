// The high-water mark of the accounted total and the one-shot pressure signal. Both watch the
// result of the addition every accounting step already makes, through a single trip-wire:
// the lower of the peak and the armed threshold. A step whose total stays at or below it does
// nothing more; one above it goes out of line (NoteHighTotal).
#pragma once

#include "budget_state.h"

MEMMGR_INTERNAL_NAMESPACE_BEGIN

// The threshold of a disarmed signal: no total can exceed it.
inline constexpr int64_t kNoPressureThreshold = INT64_MAX;

// The highest total reached since load or the last reset; never below 0.
extern constinit std::atomic<int64_t> peakUsedMemory;
// The armed threshold; swapped for kNoPressureThreshold by the one step that fires the signal.
extern constinit std::atomic<int64_t> pressureThreshold;
extern constinit std::atomic<MemoryPressureCallback> pressureCallback;
// min(peak, threshold), or lower while it is being refreshed. Lower than that is harmless (a
// wasted slow path); higher would lose a peak or a signal.
extern constinit std::atomic<int64_t> highTotalTripWire;

// A step, accounted in full, left the total at `total`, above the trip-wire: raises the peak,
// and fires the pressure signal when the step `raised` the total past the armed threshold.
enum class TotalChange : bool { Lowered, Raised };
MEMMGR_COLD void NoteHighTotal(int64_t total, TotalChange change);
// Recomputes the trip-wire after the peak or the threshold changed.
void RefreshTripWire() noexcept;

// Whether `total` has passed the trip-wire (budget_state.h's IsAboveStored).
MEMMGR_ALWAYS_INLINE bool IsPastTripWire(int64_t total) noexcept {
  return IsAboveStored(total, highTotalTripWire);
}

MEMMGR_INTERNAL_NAMESPACE_END
