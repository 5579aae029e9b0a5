// SPDX-License-Identifier: Apache-2.0
// Shared by the test executables: counter snapshots, a recorder of the recovery sequence and
// a fixture that restores the process-wide policy after each case.
//
// The test executable's own allocations (GoogleTest's included) are accounted too, so cases
// measure counter deltas around their own calls only, and keep EXPECTs (which may allocate)
// out of stretches where the limit is tight or a hook records calls.
#pragma once

#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <new>
#include <ostream>
#include <vector>

#include "memmgr"

// Sanitizer runtimes own malloc and new: cases that replace or exhaust them step aside there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define MEMMGR_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define MEMMGR_SANITIZED 1
#endif
#endif

// Both counters at one moment, as the calling thread sees them.
struct Counters {
  int64_t used, thread;
  static Counters Now() {
    return {GTMC_GetTotalUsedMemory(), GTMC_GetAllocationSizeInCurrentThread()};
  }
  Counters operator-(Counters const& b) const { return {used - b.used, thread - b.thread}; }
  bool operator==(Counters const&) const = default;
};
inline Counters Delta(int64_t bytes) { return {bytes, bytes}; }  // the same in both
inline void PrintTo(Counters const& c, std::ostream* os) {
  *os << "{used " << c.used << ", thread " << c.thread << "}";
}
inline int64_t Usable(void const* block) {
  return static_cast<int64_t>(mmgr_malloc_usable_size(const_cast<void*>(block)));
}

// The library's own counts of the recovery sequence, read where a tool outside reads them.
struct RecoveryCounts {
  int64_t collections, overallocations, memoryFullEvents;
  static RecoveryCounts Now() {
    mmgr_figure_locations const& at = *mmgr_get_figure_locations();
    auto const read = [](void const* count) { return *static_cast<int64_t const*>(count); };
    return {read(at.collections), read(at.overallocations), read(at.memoryFullEvents)};
  }
  RecoveryCounts operator-(RecoveryCounts const& o) const {
    return {collections - o.collections, overallocations - o.overallocations,
            memoryFullEvents - o.memoryFullEvents};
  }
};

enum HookKind : int { kCollect, kMemoryFull, kOverallocation, kPressure };

// Records every hook call in fixed static storage with atomic counters: it runs inside the
// allocator while the budget is tight, where an allocation of its own would disturb the count.
class HookTrace {
 public:
  struct Event {  // collections and memory-full events leave `total` and `limit` at 0;
                  // a pressure signal has the total and the threshold there, and size 0
    HookKind kind;
    size_t size;
    int64_t total = 0, limit = 0;
    bool operator==(Event const&) const = default;
  };

  // Clears the trace and installs all three recorders (re-arming the memory-full handler).
  static void Install() {
    all_ = 0;
    GTMC_GarbageCollect = &OnCollect;
    Set_GTMC_MemoryFull(&OnMemoryFull);
    GMM_SetOnOverallocation(&OnOverallocation);
  }
  static int Count() { return all_; }
  // The events in order, the first kCapacity of them (read them once the policy is restored:
  // this allocates).
  static std::vector<Event> Events() {
    return std::vector<Event>(events_, events_ + std::min(all_.load(), kCapacity));
  }
  static void Record(HookKind kind, size_t size, int64_t total = 0, int64_t limit = 0) {
    if (int const at = all_.fetch_add(1); at < kCapacity) events_[at] = {kind, size, total, limit};
  }
  static int OnCollect(size_t amount) { return Record(kCollect, amount), 0; }
  static void OnMemoryFull(unsigned long size) { Record(kMemoryFull, size); }
  static void OnOverallocation(size_t requested, int64_t total, int64_t limit) {
    Record(kOverallocation, requested, total, limit);
  }
  static void OnPressure(int64_t total, int64_t threshold) {
    Record(kPressure, 0, total, threshold);
  }
  static constexpr int kCapacity = 520;  // 517 collections, memory full, over-allocation, pressure

 private:
  static inline std::atomic<int> all_{0};
  static Event events_[kCapacity];
};
inline HookTrace::Event HookTrace::events_[HookTrace::kCapacity];
inline void PrintTo(HookTrace::Event const& e, std::ostream* os) {
  *os << "{kind " << e.kind << ", " << e.size << ", " << e.total << ", " << e.limit << "}";
}

// Restores the limit, the policy and every hook after each case, so cases stay independent.
class BudgetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GTMC_GetMemoryAllocationRules(&savedLimit_, &reserved_);
    savedGarbageCollect_ = GTMC_GarbageCollect;
    savedMemoryFull_ = GTMC_MemoryFull;
  }
  void TearDown() override { RestorePolicy(); }
  // Puts everything back as SetUp found it; callable mid-test before EXPECTs that allocate.
  void RestorePolicy() {
    GTMC_SetMemoryAllocationRules(savedLimit_);
    GMM_EnableOverallocation(true);
    GMM_SetOnOverallocation(nullptr);
    GTMC_GarbageCollect = savedGarbageCollect_;
    Set_GTMC_MemoryFull(savedMemoryFull_);
  }
  // Sets the limit `headroom` bytes above what is in use now (may be negative).
  static void SetHeadroom(int64_t headroom) {
    GTMC_SetMemoryAllocationRules(GTMC_GetTotalUsedMemory() + headroom);
  }

  int64_t savedLimit_ = 0, reserved_ = 0;
  GarbageCollectHook savedGarbageCollect_ = nullptr;
  MemoryFullHandler savedMemoryFull_ = nullptr;
};

// Hides a pointer's origin from the optimiser, which may fold a null test of a plain `new`
// result to false: the library's `new` returns null when recovery fails.
template <typename T>
T* Opaque(T* pointer) {
  asm volatile("" : "+r"(pointer));
  return pointer;
}

// Whether this executable's new and delete are the library's: sanitizer runtimes and valgrind
// put their own in its place.
inline bool NewIsAccounted() {
  int64_t const before = GTMC_GetAllocationSizeInCurrentThread();
  void* const probe = Opaque(::operator new(64));
  bool const accounted = GTMC_GetAllocationSizeInCurrentThread() != before;
  ::operator delete(probe);
  return accounted;
}

// Every allocating entry point but a resize of a block, each with a release that matches it, for
// cases that take blocks of about `n` bytes through forms picked at random; `r` (a random number)
// picks what a form may vary. The new family comes last: sanitizer runtimes and valgrind put
// their own in its place.
struct Form {
  void* (*take)(size_t n, uint64_t r);
  void (*release)(void* block, uint64_t r);
};
// Any release of the malloc family, as `r` falls.
inline void ReleaseAny(void* block, uint64_t r) {
  r % 3 == 0   ? mmgr_free(block)
  : r % 3 == 1 ? mmgr_aligned_free(block)
               : void(mmgr_realloc(block, 0));
}
inline Form const kForms[] = {
    {[](size_t n, uint64_t) { return mmgr_malloc(n); }, ReleaseAny},
    {[](size_t n, uint64_t r) { return mmgr_calloc(1 + r % 8, n / 8 + 1); }, ReleaseAny},
    {[](size_t n, uint64_t) { return mmgr_realloc(nullptr, n); }, ReleaseAny},
    {[](size_t n, uint64_t r) { return mmgr_aligned_alloc(size_t{32} << r % 8, n); }, ReleaseAny},
    {[](size_t, uint64_t) -> void* { return FF_strdup("budgeted text"); }, ReleaseAny},
    {[](size_t, uint64_t) -> void* { return FF_wcsdup(L"budgeted wide text"); }, ReleaseAny},
    {[](size_t, uint64_t) { return mmgr_malloc(0); }, ReleaseAny},
    {[](size_t n, uint64_t) { return Opaque(::operator new(n)); },
     [](void* block, uint64_t) { ::operator delete(block); }},
    {[](size_t n, uint64_t) -> void* { return Opaque(new char[n]); },
     [](void* block, uint64_t) { delete[] static_cast<char*>(block); }},
    {[](size_t n, uint64_t) { return ::operator new(n, std::nothrow); },
     [](void* block, uint64_t) { ::operator delete(block, std::nothrow); }},
    {[](size_t n, uint64_t) { return ::operator new (n, std::align_val_t{128}); },
     [](void* block, uint64_t) { ::operator delete (block, std::align_val_t{128}); }},
};
constexpr size_t kMallocForms = 7;  // the forms before the new family

// Runs `body(i)` on `count` plain pthreads at once and joins them (std::thread would account
// its start state on one thread and release it on another).
template <typename Body>
void RunThreads(int count, Body const& body) {
  struct Start {
    Body const* body;
    int index;
  };
  Start starts[16];
  pthread_t threads[16];
  for (int i = 0; i < count; ++i) {
    starts[i] = {&body, i};
    pthread_create(
        &threads[i], nullptr,
        [](void* s) -> void* {
          auto* const start = static_cast<Start*>(s);
          (*start->body)(start->index);
          return nullptr;
        },
        &starts[i]);
  }
  for (int i = 0; i < count; ++i) pthread_join(threads[i], nullptr);
}
