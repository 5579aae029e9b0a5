// Helpers shared by the interface tests: counter snapshots, a hook recorder that never
// allocates, and a barrier that keeps the compiler from assuming `new` returns non-null.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <vector>

#include "budget_test.h"

// Both counters at one moment on the calling thread.
struct Counters {
  int64_t used;
  int64_t thread;
  static Counters Now() {
    return {GTMC_GetTotalUsedMemory(), GTMC_GetAllocationSizeInCurrentThread()};
  }
  Counters operator-(Counters const& before) const {
    return {used - before.used, thread - before.thread};
  }
  bool operator==(Counters const&) const = default;
};

// A counter delta of `bytes` on both the process-wide and the per-thread total.
inline Counters Delta(int64_t bytes) { return {bytes, bytes}; }

inline void PrintTo(Counters const& c, std::ostream* os) {
  *os << "{used " << c.used << ", thread " << c.thread << "}";
}

inline int64_t Usable(void const* block) {
  return static_cast<int64_t>(mmgr_malloc_usable_size(const_cast<void*>(block)));
}

// Hides a pointer's origin from the optimiser, which may otherwise fold a null test of a
// plain `new` result to false.
template <typename T>
T* Opaque(T* pointer) {
  asm volatile("" : "+r"(pointer));
  return pointer;
}

// Records every hook call of the recovery sequence into static storage, so that recording
// allocates nothing while the limit is tight.
class HookTrace {
 public:
  enum Kind : int { kCollect, kMemoryFull, kOverallocation };
  struct Event {
    Kind kind;
    size_t size;
    bool operator==(Event const&) const = default;
  };

  // Installs recorders for all three hooks (re-arming the memory-full handler).
  static void Install() {
    count_.store(0);
    GTMC_GarbageCollect = &OnCollect;
    Set_GTMC_MemoryFull(&OnMemoryFull);
    GMM_SetOnOverallocation(&OnOverallocation);
  }

  static int Count() { return count_.load(); }

  // The first events, in order (call once the policy is restored).
  static std::vector<Event> Events(int limit = kCapacity) {
    int const n = std::min({count_.load(), limit, kCapacity});
    return std::vector<Event>(events_, events_ + n);
  }

 private:
  static constexpr int kCapacity = 16;

  static void Record(Kind kind, size_t size) {
    int const at = count_.fetch_add(1);
    if (at < kCapacity) events_[at] = {kind, size};
  }
  static int OnCollect(size_t amount) {
    Record(kCollect, amount);
    return 0;
  }
  static void OnMemoryFull(unsigned long size) { Record(kMemoryFull, size); }
  static void OnOverallocation(size_t requested, int64_t, int64_t) {
    Record(kOverallocation, requested);
  }

  static inline std::atomic<int> count_{0};
  static inline Event events_[kCapacity] = {};
};

inline void PrintTo(HookTrace::Event const& e, std::ostream* os) {
  static char const* const kNames[] = {"collect", "memory-full", "overallocation"};
  *os << kNames[e.kind] << "(" << e.size << ")";
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
// number of calls in all, the 512 closing collections included.
inline std::vector<HookTrace::Event> FailedRecoveryStart(size_t size) {
  using E = HookTrace::Event;
  return {E{HookTrace::kCollect, size},         E{HookTrace::kCollect, size + size / 2},
          E{HookTrace::kCollect, SIZE_MAX},     E{HookTrace::kCollect, SIZE_MAX},
          E{HookTrace::kMemoryFull, size},      E{HookTrace::kCollect, SIZE_MAX},
          E{HookTrace::kCollect, SIZE_MAX}};
}
inline constexpr int kFailedRecoveryCalls = 6 + 512;
