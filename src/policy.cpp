// SPDX-License-Identifier: Apache-2.0
// Policy and signals: the limit (from the environment at load, or set by the host), the
// over-allocation switch and callback, the memory-full handler's arming, and the pressure
// signal with the peak it shares a trip-wire with.
//
// None of the setters validates its argument. Each setting is one relaxed store (an allocation
// in progress sees the old or the new value); the two that re-arm something pair that store
// with a release store of the flag or threshold a firing step checks, and the pressure setter
// then refreshes the trip-wire.
#include <algorithm>
#include <cstdlib>
#include <optional>

#include "internal.h"

MEMMGR_INTERNAL_NAMESPACE_BEGIN

namespace {

// The limit when the environment does not set one.
constexpr int64_t kDefaultLimit = 64 * kMiB;
// Whether the host may set the limit: false when it came from the environment.
constinit std::atomic<bool> rulesSettable{false};

// The threshold of a disarmed pressure signal: no total can exceed it.
constexpr int64_t kNoPressureThreshold = INT64_MAX;
// The armed threshold; swapped for kNoPressureThreshold by the one step that fires the signal.
constinit std::atomic<int64_t> pressureThreshold{kNoPressureThreshold};
constinit std::atomic<MemoryPressureCallback> pressureCallback{nullptr};

constexpr bool IsSpace(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
constexpr bool IsDigit(char c) noexcept { return c >= '0' && c <= '9'; }

// Parses a VOQ_MAXIMUM_MEMORY value the way "%u" reads it (leading white space, an optional
// '+', then decimal digits up to the first non-digit), with the cases "%u" leaves undefined
// given a meaning: digits beyond 32 bits saturate at 0xFFFFFFFF, and a '-' sign, like a value
// without digits, gives no limit at all. Null gives no limit.
std::optional<uint32_t> ParseEnvironmentLimit(char const* text) noexcept {
  if (text == nullptr) return std::nullopt;
  while (IsSpace(*text)) ++text;
  if (*text == '-') return std::nullopt;
  if (*text == '+') ++text;
  if (!IsDigit(*text)) return std::nullopt;
  constexpr uint64_t kSaturated = UINT32_MAX;
  uint64_t value = 0;
  for (; IsDigit(*text); ++text) {
    value = value * 10 + static_cast<uint64_t>(*text - '0');
    if (value > kSaturated) value = kSaturated + 1;  // stays above 32 bits without overflowing
  }
  return static_cast<uint32_t>(value > kSaturated ? kSaturated : value);
}

// The limit a parsed value stands for: rounded down to a multiple of 4096.
constexpr int64_t LimitFromEnvironmentValue(uint32_t value) noexcept {
  return static_cast<int64_t>(value & ~uint32_t{0xFFF});
}

// Until this initialiser runs, the compiled-in limit holds and the host cannot change it.
[[gnu::constructor]] void ReadMemoryLimitFromEnvironment() {
  if (auto value = ParseEnvironmentLimit(std::getenv("VOQ_MAXIMUM_MEMORY"))) {
    SetLimit(LimitFromEnvironmentValue(*value));
    rulesSettable.store(false, std::memory_order_relaxed);
  } else {
    SetLimit(kDefaultLimit);
    rulesSettable.store(true, std::memory_order_relaxed);
  }
}

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

namespace {

// Both setters, the C one and the C++ one, rather than one calling the other's exported name:
// a tool that interposes one of them (memmgr-run's sampler interposes both) must not see the
// other's calls a second time.
MemoryFullHandler InstallMemoryFullHandler(MemoryFullHandler handler) noexcept {
  MemoryFullHandler previous = memmgr::LoadMemoryFullHandler();
  memmgr::StoreMemoryFullHandler(handler);
  // Release: a thread whose exchange finds the flag cleared also sees the new handler.
  memmgr::memoryFullFired.store(false, std::memory_order_release);
  return previous;
}

}  // namespace

MemoryFullHandler Set_GTMC_MemoryFull(MemoryFullHandler handler) {
  return InstallMemoryFullHandler(handler);
}

extern "C" {

int GTMC_SetMemoryAllocationRules(int64_t limit) {
  if (memmgr::rulesSettable.load(std::memory_order_relaxed)) {
    memmgr::SetLimit(limit);
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

MemoryFullHandler mmgr_set_memory_full(MemoryFullHandler handler) {
  return InstallMemoryFullHandler(handler);
}

}  // extern "C"
