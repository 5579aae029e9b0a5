// Counter snapshots and a recorder of the recovery sequence, shared by the test executables.
// The recorder keeps fixed static storage and atomic counters: it runs inside the allocator
// while the budget is tight, where an allocation of its own would disturb what it counts.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <ostream>
#include <vector>

#include "budget_test.h"

// Both counters at one moment, as the calling thread sees them.
struct Counters {
  int64_t used, thread;
  static Counters Now() {
    return {GTMC_GetTotalUsedMemory(), GTMC_GetAllocationSizeInCurrentThread()};
  }
  Counters operator-(Counters const& b) const { return {used - b.used, thread - b.thread}; }
  bool operator==(Counters const&) const = default;
};
// A change of `bytes` in both counters.
inline Counters Delta(int64_t bytes) { return {bytes, bytes}; }
inline void PrintTo(Counters const& c, std::ostream* os) {
  *os << "{used " << c.used << ", thread " << c.thread << "}";
}

inline int64_t Usable(void const* block) {
  return static_cast<int64_t>(mmgr_malloc_usable_size(const_cast<void*>(block)));
}

enum HookKind : int { kCollect, kMemoryFull, kOverallocation };

class HookTrace {
 public:
  struct Event {  // collections and memory-full events leave `total` and `limit` at 0
    HookKind kind;
    size_t size;
    int64_t total = 0, limit = 0;
    bool operator==(Event const&) const = default;
  };

  // Clears the trace and installs all three recorders (re-arming the memory-full handler).
  static void Install() {
    for (auto& count : counts_) count = 0;
    all_ = 0;
    GTMC_GarbageCollect = &OnCollect;
    Set_GTMC_MemoryFull(&OnMemoryFull);
    GMM_SetOnOverallocation(&OnOverallocation);
  }
  static int Count() { return all_; }
  static int Count(HookKind kind) { return counts_[kind]; }
  static size_t Last(HookKind kind) { return last_[kind]; }  // the latest event's size
  // The first events, in order (read them once the policy is restored).
  static std::vector<Event> Events(int first = kCapacity) {
    return std::vector<Event>(events_, events_ + std::min({all_.load(), first, kCapacity}));
  }

  // Also for hooks of a test's own that should appear in the trace.
  static void Record(HookKind kind, size_t size, int64_t total = 0, int64_t limit = 0) {
    counts_[kind].fetch_add(1);
    last_[kind] = size;
    if (int const at = all_.fetch_add(1); at < kCapacity) events_[at] = {kind, size, total, limit};
  }
  static int OnCollect(size_t amount) { return Record(kCollect, amount), 0; }
  static void OnMemoryFull(unsigned long size) { Record(kMemoryFull, size); }
  static void OnOverallocation(size_t requested, int64_t total, int64_t limit) {
    Record(kOverallocation, requested, total, limit);
  }

 private:
  static constexpr int kCapacity = 16;
  static inline std::atomic<int> counts_[3] = {};
  static inline std::atomic<size_t> last_[3] = {};
  static inline std::atomic<int> all_{0};
  static Event events_[kCapacity];
};
inline HookTrace::Event HookTrace::events_[HookTrace::kCapacity];

inline void PrintTo(HookTrace::Event const& e, std::ostream* os) {
  *os << "{kind " << e.kind << ", " << e.size << ", " << e.total << ", " << e.limit << "}";
}

// Runs `allocate` with every request refused: the limit below the bytes in use,
// over-allocation off and all hooks recording (the memory-full handler returns), so the whole
// recovery sequence runs and fails. Returns what `allocate` returned; HookTrace holds the rest.
template <typename Allocate>
auto RunRefused(Allocate allocate) {
  HookTrace::Install();
  GMM_EnableOverallocation(false);
  GTMC_SetMemoryAllocationRules(GTMC_GetTotalUsedMemory() - 1);
  return allocate();
}

// The first hook calls of a failed recovery of a non-empty request of `size` bytes, and the
// number of calls in all: 517 collections, 512 of them closing a retry round, and the handler.
inline std::vector<HookTrace::Event> FailedRecoveryStart(size_t size) {
  return {{kCollect, size},     {kCollect, size + size / 2}, {kCollect, SIZE_MAX},
          {kCollect, SIZE_MAX}, {kMemoryFull, size},         {kCollect, SIZE_MAX},
          {kCollect, SIZE_MAX}};
}
inline constexpr int kFailedRecoveryCalls = 517 + 1;
