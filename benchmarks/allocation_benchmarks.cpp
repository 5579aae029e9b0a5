// SPDX-License-Identifier: Apache-2.0
// Timings of the library's entry points against the system allocator and the floor allocator.
// Names are <group>/<family>/<detail> so that scripts/perf_report.py can tabulate them:
//   pair/<family>/<bytes>         one allocate+release
//   pair/<raw|new>-aligned/64     the same for a type aligned to 64 (aligned_alloc, new)
//   batch/<family>/<order>/<bytes> 1,000 allocations, then 1,000 releases (time per batch)
//   growth/<family>/<bytes>[/threads:2]  the in-order batch with the peak reset before each,
//                                  so that every allocation sets a new peak
//   realloc/<family>/grow|shrink  allocate, resize 64 <-> 4096, release
//   strdup/<family>/<length>      duplicate a string, release the copy
//   pair/<family>/<bytes>/threads:2  the pair on both threads at once
//   scaling/<family>/64/threads:N  the pair on 1, 2, 4 and 8 threads at once (CPU time per
//                                  pair on each thread)
//   handoff/<family>/<bytes>      allocated on one thread, released by the other
//   overlimit/<hook>/<bytes>      a pair over a zero limit, admitted by over-allocation
//   stats/<query>                 one statistics query
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "floor_allocator.h"
#include "memmgr"

namespace {

// Keeps the compiler from seeing that a block is unused.
inline void Escape(void* p) { asm volatile("" : : "g"(p) : "memory"); }

struct Family {
  char const* name;
  void* (*allocate)(size_t);
  void (*release)(void*);
};

// Plain functions rather than lambdas converted to pointers, so each is one direct call deep.
void* RawMalloc(size_t n) { return std::malloc(n); }
void RawFree(void* p) { std::free(p); }
void* BuiltinMalloc(size_t n) { return builtin_malloc(n); }
void BuiltinFree(void* p) { builtin_free(p); }
void* NewArray(size_t n) { return new unsigned char[n]; }
void DeleteArray(void* p) { delete[] static_cast<unsigned char*>(p); }
void* MmgrCalloc(size_t n) { return mmgr_calloc(1, n); }

// A cache line of its own, as a host would declare it: `new` takes the aligned forms.
struct alignas(64) Line {
  unsigned char bytes[64];
};
void* RawAligned(size_t n) { return std::aligned_alloc(alignof(Line), n); }
void* NewAligned(size_t n) { return new Line[n / sizeof(Line)]; }
void DeleteAligned(void* p) { delete[] static_cast<Line*>(p); }

constexpr Family kRaw{"raw", RawMalloc, RawFree};
constexpr Family kBuiltin{"builtin", BuiltinMalloc, BuiltinFree};
constexpr Family kMmgr{"mmgr", mmgr_malloc, mmgr_free};
constexpr Family kNew{"new", NewArray, DeleteArray};
constexpr Family kCalloc{"calloc", MmgrCalloc, mmgr_free};
constexpr Family kFloor{"floor", floor_malloc, floor_free};
constexpr Family kRawAligned{"raw-aligned", RawAligned, RawFree};
constexpr Family kNewAligned{"new-aligned", NewAligned, DeleteAligned};

constexpr std::array<Family, 6> kPairFamilies{kRaw, kBuiltin, kMmgr, kNew, kCalloc, kFloor};
constexpr std::array<size_t, 6> kPairSizes{16, 64, 256, 4096, 65536, 1 << 20};

void Pair(benchmark::State& state, Family family, size_t size) {
  for (auto _ : state) {
    void* p = family.allocate(size);
    Escape(p);
    family.release(p);
  }
}

constexpr int kBatch = 1000;

enum class Order { InOrder, Reverse, Shuffled };

void Batch(benchmark::State& state, Family family, Order order, size_t size) {
  std::vector<void*> blocks(kBatch);
  std::vector<int> releaseOrder(kBatch);
  std::iota(releaseOrder.begin(), releaseOrder.end(), 0);
  if (order == Order::Reverse) std::reverse(releaseOrder.begin(), releaseOrder.end());
  if (order == Order::Shuffled)
    std::shuffle(releaseOrder.begin(), releaseOrder.end(), std::mt19937{42});
  for (auto _ : state) {
    for (void*& block : blocks) block = family.allocate(size);
    benchmark::ClobberMemory();
    for (int index : releaseOrder) family.release(blocks[static_cast<size_t>(index)]);
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}

// The system allocator and the floor keep no peak: the reset, once a batch, costs them nothing.
void Growth(benchmark::State& state, Family family, size_t size) {
  std::vector<void*> blocks(kBatch);
  for (auto _ : state) {
    if (state.thread_index() == 0) GTMC_ResetPeakUsedMemory();
    for (void*& block : blocks) block = family.allocate(size);
    benchmark::ClobberMemory();
    for (void* block : blocks) family.release(block);
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}

void* RawRealloc(void* p, size_t n) { return std::realloc(p, n); }

void Resize(benchmark::State& state, Family family, void* (*resize)(void*, size_t), size_t from,
            size_t to) {
  for (auto _ : state) {
    void* p = family.allocate(from);
    Escape(p);
    p = resize(p, to);
    Escape(p);
    family.release(p);
  }
}

char* RawStrdup(char const* s) { return strdup(s); }

void Duplicate(benchmark::State& state, char* (*duplicate)(char const*), void (*release)(void*),
               size_t length) {
  std::string const text(length, 'x');
  for (auto _ : state) {
    char* copy = duplicate(text.c_str());
    Escape(copy);
    release(copy);
  }
}

// A single-producer single-consumer ring: thread 0 allocates and pushes, thread 1 pops and
// releases, so every block is released by a thread other than the one that accounted it.
// A waiting side yields its core: on a loaded two-core machine the other side may need it.
class HandoffRing {
 public:
  void Push(void* p) {
    size_t const head = head_.load(std::memory_order_relaxed);
    while (head - tail_.load(std::memory_order_acquire) == kSlots) std::this_thread::yield();
    slots_[head % kSlots] = p;
    head_.store(head + 1, std::memory_order_release);
  }
  void* Pop() {
    size_t const tail = tail_.load(std::memory_order_relaxed);
    while (head_.load(std::memory_order_acquire) == tail) std::this_thread::yield();
    void* p = slots_[tail % kSlots];
    tail_.store(tail + 1, std::memory_order_release);
    return p;
  }

 private:
  static constexpr size_t kSlots = 256;
  std::array<void*, kSlots> slots_{};
  alignas(64) std::atomic<size_t> head_{0};
  alignas(64) std::atomic<size_t> tail_{0};
};

HandoffRing ring;

void Handoff(benchmark::State& state, Family family, size_t size) {
  // Both threads run the same number of iterations, so every pushed block is popped.
  if (state.thread_index() == 0) {
    for (auto _ : state) ring.Push(family.allocate(size));
  } else {
    for (auto _ : state) family.release(ring.Pop());
  }
}

int NoOpCollect(size_t) { return 0; }

// Every request is over a zero limit: the quick attempt fails, the recovery sequence calls the
// hook (if any) and admits the block by over-allocation. The callback stays unset.
void OverLimit(benchmark::State& state, GarbageCollectHook hook, size_t size) {
  int64_t limit = 0;
  int64_t reserved = 0;
  GTMC_GetMemoryAllocationRules(&limit, &reserved);
  GarbageCollectHook const savedHook = GTMC_GarbageCollect;
  GMM_EnableOverallocation(true);
  GTMC_SetMemoryAllocationRules(0);
  GTMC_GarbageCollect = hook;
  for (auto _ : state) {
    void* p = mmgr_malloc(size);
    Escape(p);
    mmgr_free(p);
  }
  GTMC_GarbageCollect = savedHook;
  GTMC_SetMemoryAllocationRules(limit);
}

// The pair with the total held within a lease's width (32 KiB) of the limit, on each thread at
// once: with leases, the steps go to the shared total one by one there, as in the default
// build.
void NearLimit(benchmark::State& state, Family family, size_t size) {
  int64_t limit = 0;
  int64_t reserved = 0;
  if (state.thread_index() == 0) {
    GTMC_GetMemoryAllocationRules(&limit, &reserved);
    GTMC_SetMemoryAllocationRules(GTMC_GetTotalUsedMemory() + (32 << 10));
  }
  Pair(state, family, size);
  if (state.thread_index() == 0) GTMC_SetMemoryAllocationRules(limit);
}

template <typename Result>
void Query(benchmark::State& state, Result (*query)()) {
  for (auto _ : state) benchmark::DoNotOptimize(query());
}

void RegisterAll() {
  for (size_t size : kPairSizes) {
    for (Family const& family : kPairFamilies) {
      std::string const name = std::string("pair/") + family.name + "/" + std::to_string(size);
      benchmark::RegisterBenchmark(name.c_str(), Pair, family, size);
    }
  }
  for (Family const& family : {kRawAligned, kNewAligned}) {
    benchmark::RegisterBenchmark((std::string("pair/") + family.name + "/64").c_str(), Pair, family,
                                 64);
  }
  struct NamedOrder {
    char const* name;
    Order order;
  };
  for (size_t size : {size_t{64}, size_t{4096}}) {
    for (NamedOrder order :
         {NamedOrder{"in-order", Order::InOrder}, NamedOrder{"reverse", Order::Reverse},
          NamedOrder{"shuffled", Order::Shuffled}}) {
      for (Family const& family : {kRaw, kMmgr, kNew, kFloor}) {
        std::string const name =
            std::string("batch/") + family.name + "/" + order.name + "/" + std::to_string(size);
        benchmark::RegisterBenchmark(name.c_str(), Batch, family, order.order, size);
      }
    }
  }
  for (Family const& family : {kRaw, kMmgr, kNew, kFloor}) {
    std::string const name = std::string("growth/") + family.name + "/64";
    benchmark::RegisterBenchmark(name.c_str(), Growth, family, 64);
    benchmark::RegisterBenchmark(name.c_str(), Growth, family, 64)->Threads(2)->UseRealTime();
  }
  benchmark::RegisterBenchmark("realloc/raw/grow", Resize, kRaw, RawRealloc, 64, 4096);
  benchmark::RegisterBenchmark("realloc/mmgr/grow", Resize, kMmgr, mmgr_realloc, 64, 4096);
  benchmark::RegisterBenchmark("realloc/raw/shrink", Resize, kRaw, RawRealloc, 4096, 64);
  benchmark::RegisterBenchmark("realloc/mmgr/shrink", Resize, kMmgr, mmgr_realloc, 4096, 64);
  for (size_t length : {size_t{15}, size_t{255}}) {
    benchmark::RegisterBenchmark(("strdup/raw/" + std::to_string(length)).c_str(), Duplicate,
                                 RawStrdup, RawFree, length);
    benchmark::RegisterBenchmark(("strdup/mmgr/" + std::to_string(length)).c_str(), Duplicate,
                                 FF_strdup, mmgr_free, length);
  }
  for (size_t size : {size_t{64}, size_t{4096}}) {
    for (Family const& family : {kRaw, kMmgr, kNew, kFloor}) {
      std::string const suffix = std::string(family.name) + "/" + std::to_string(size);
      benchmark::RegisterBenchmark(("pair/" + suffix).c_str(), Pair, family, size)
          ->Threads(2)
          ->UseRealTime();
      benchmark::RegisterBenchmark(("handoff/" + suffix).c_str(), Handoff, family, size)
          ->Threads(2)
          ->UseRealTime();
    }
  }
  for (Family const& family : {kRaw, kMmgr, kNew, kFloor}) {
    benchmark::RegisterBenchmark((std::string("scaling/") + family.name + "/64").c_str(), Pair,
                                 family, 64)
        ->ThreadRange(1, 8);
  }
  for (Family const& family : {kMmgr, kNew}) {
    benchmark::RegisterBenchmark((std::string("nearlimit/") + family.name + "/64").c_str(),
                                 NearLimit, family, 64)
        ->ThreadRange(1, 2);
  }
  benchmark::RegisterBenchmark("overlimit/no-hook/64", OverLimit, nullptr, 64);
  benchmark::RegisterBenchmark("overlimit/no-op-hook/64", OverLimit, NoOpCollect, 64);
  benchmark::RegisterBenchmark("stats/GTMC_GetTotalUsedMemory", Query<int64_t>,
                               GTMC_GetTotalUsedMemory);
  benchmark::RegisterBenchmark("stats/GTMC_GetFreeMemory", Query<int64_t>, GTMC_GetFreeMemory);
  benchmark::RegisterBenchmark("stats/GTMC_GetTotalMemory", Query<int64_t>, GTMC_GetTotalMemory);
  benchmark::RegisterBenchmark("stats/GTMC_GetAllocationSizeInCurrentThread", Query<int64_t>,
                               GTMC_GetAllocationSizeInCurrentThread);
  benchmark::RegisterBenchmark("stats/GTMC_IsMemoryFull", Query<bool>, GTMC_IsMemoryFull);
  benchmark::RegisterBenchmark("stats/GTMC_GetOSUsedMemory", Query<int64_t>, GTMC_GetOSUsedMemory);
}

}  // namespace

int main(int argc, char** argv) {
  // Room for the batches of large blocks; the default 64 MiB would send them to recovery.
  // (Ignored when VOQ_MAXIMUM_MEMORY fixes the limit.)
  GTMC_SetMemoryAllocationRules(int64_t{1} << 40);
  RegisterAll();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
