// Many threads against one budget: every allocating entry point, blocks released by threads
// other than their allocator, limit and over-allocation switches flipped mid-flight, a
// collection hook that frees from a shared reserve, and a memory-full handler that returns.
//
// Each worker keeps a ledger of what it allocated and released (the hook's releases on its
// thread included) and compares it with its own per-thread count after every operation. Once
// everything is released, the process-wide total must be back where it started and the
// per-thread changes must add up to it. Workers are plain pthreads: std::thread frees its
// start state on the new thread after the body returns, where no ledger could see it.
#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <new>

#include "budget_test.h"

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define MEMMGR_STRESS_UNDER_TSAN 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define MEMMGR_STRESS_UNDER_TSAN 1
#endif

namespace {

constexpr int kThreads = 8;
#ifdef MEMMGR_STRESS_UNDER_TSAN
constexpr int kOperationsPerThread = 10000;  // TSan is many times slower
#else
constexpr int kOperationsPerThread = 50000;
#endif
constexpr int kSlotsPerThread = 48;

enum class Family : uint8_t { Malloc, New, NewArray, NothrowNew };

struct Held {
  void* block = nullptr;
  Family family = Family::Malloc;
  bool tagged = false;    // empty requests have no byte to tag
  unsigned char tag = 0;  // the first byte, which must survive hand-offs and resizes
  bool Intact() const { return !tagged || *static_cast<unsigned char*>(block) == tag; }
};

// Whether this executable's new/delete reach the library: sanitizer runtimes and valgrind
// bring their own, and then the new family is not accounted.
bool newIsAccounted = true;

int64_t AccountedSize(Held const& held) {
  if (held.family != Family::Malloc && !newIsAccounted) return 0;
  return static_cast<int64_t>(mmgr_malloc_usable_size(held.block));
}

void Release(Held const& held, bool aligned) {
  switch (held.family) {
    case Family::Malloc: aligned ? mmgr_aligned_free(held.block) : mmgr_free(held.block); break;
    case Family::New: ::operator delete(held.block); break;
    case Family::NewArray: delete[] static_cast<char*>(held.block); break;
    case Family::NothrowNew: ::operator delete(held.block, std::nothrow); break;
  }
}

// A mutex-guarded pool of blocks that no thread owns, in static storage so that using it
// allocates nothing.
template <int Capacity>
class Pool {
 public:
  bool Put(Held const& held) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (size_ == Capacity) return false;
    items_[size_++] = held;
    return true;
  }
  bool Take(Held& held) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (size_ == 0) return false;
    held = items_[--size_];
    return true;
  }

 private:
  std::mutex mutex_;
  int size_ = 0;
  Held items_[Capacity];
};

Pool<256> exchange;  // blocks on their way from one thread to another
Pool<512> reserve;   // malloc-family blocks the collection hook may free

std::atomic<int64_t> hookCalls{0};
std::atomic<int64_t> memoryFullCalls{0};
std::atomic<int64_t> overallocations{0};
constinit thread_local int64_t freedByHookHere = 0;

int FreeFromReserve(size_t amount) {
  hookCalls.fetch_add(1, std::memory_order_relaxed);
  size_t freed = 0;
  Held held;
  while (freed < amount && reserve.Take(held)) {
    int64_t const size = AccountedSize(held);
    mmgr_free(held.block);
    freedByHookHere += size;
    freed += static_cast<size_t>(size) + 1;
  }
  return 0;
}
void CountMemoryFull(unsigned long) { memoryFullCalls.fetch_add(1, std::memory_order_relaxed); }
void CountOverallocation(size_t, int64_t, int64_t) {
  overallocations.fetch_add(1, std::memory_order_relaxed);
}

struct Worker {
  int index = 0;
  int64_t threadChange = 0;  // this thread's count at exit minus at start
  int64_t inconsistencies = 0;
  int64_t corruptBlocks = 0;
  int64_t refused = 0;
};

class Rng {
 public:
  explicit Rng(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15u + 1) {}
  uint64_t Next() {  // splitmix64
    uint64_t z = (state_ += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
  }
  uint64_t Below(uint64_t n) { return Next() % n; }

 private:
  uint64_t state_;
};

size_t RandomSize(Rng& rng) {
  uint64_t const r = rng.Below(100);
  if (r < 70) return 1 + rng.Below(512);
  if (r < 97) return 1 + rng.Below(16 << 10);
  return 1 + rng.Below(256 << 10);  // above malloc's mmap threshold
}

// Hides where a pointer came from: the optimiser may assume that a plain `new` never gives
// null, but the library's does when recovery fails.
template <typename T>
T* Opaque(T* pointer) {
  asm volatile("" : "+r"(pointer));
  return pointer;
}

char const kText[] = "budgeted text";
wchar_t const kWideText[] = L"budgeted wide text";

// One new block from a randomly chosen entry point; the block is null when refused.
Held Allocate(Rng& rng) {
  size_t const size = RandomSize(rng);
  Held held;
  bool empty = false;
  switch (rng.Below(10)) {
    case 0: held.block = mmgr_malloc(size); break;
    case 1: held.block = mmgr_calloc(1 + rng.Below(8), size / 8 + 1); break;
    case 2: held.block = mmgr_realloc(nullptr, size); break;
    case 3: held.block = mmgr_aligned_alloc(size_t{32} << rng.Below(8), size); break;
    case 4: held.block = FF_strdup(kText); break;
    case 5: held.block = FF_wcsdup(kWideText); break;
    case 6: held = {Opaque(::operator new(size)), Family::New}; break;
    case 7: held = {Opaque(new char[size]), Family::NewArray}; break;
    case 8: held = {::operator new(size, std::nothrow), Family::NothrowNew}; break;
    default: held.block = mmgr_malloc(0), empty = true; break;
  }
  if (held.block != nullptr && !empty) {
    held.tagged = true;
    held.tag = static_cast<unsigned char>(rng.Next());
    *static_cast<unsigned char*>(held.block) = held.tag;
  }
  return held;
}

void* RunWorker(void* argument) {
  Worker& worker = *static_cast<Worker*>(argument);
  Rng rng(static_cast<uint64_t>(worker.index) + 1);
  Held slots[kSlotsPerThread];
  int64_t const start = GTMC_GetAllocationSizeInCurrentThread();
  freedByHookHere = 0;
  int64_t ledger = 0;  // what this thread allocated minus what it released itself

  auto release = [&](Held& held) {
    if (!held.Intact()) ++worker.corruptBlocks;
    ledger -= AccountedSize(held);
    Release(held, rng.Below(2) == 0);
    held.block = nullptr;
  };

  for (int op = 0; op < kOperationsPerThread; ++op) {
    Held& slot = slots[rng.Below(kSlotsPerThread)];
    uint64_t const choice = rng.Below(100);
    if (choice < 45) {
      if (slot.block != nullptr) release(slot);
      slot = Allocate(rng);
      if (slot.block == nullptr) ++worker.refused;
      else ledger += AccountedSize(slot);
    } else if (choice < 62) {
      if (slot.block != nullptr) release(slot);
    } else if (choice < 72) {
      if (slot.block != nullptr && slot.family == Family::Malloc) {
        int64_t const old = AccountedSize(slot);
        if (void* resized = mmgr_realloc(slot.block, RandomSize(rng))) {
          slot.block = resized;
          ledger += AccountedSize(slot) - old;
          if (!slot.Intact()) ++worker.corruptBlocks;
        } else {
          ++worker.refused;
        }
      }
    } else if (choice < 82) {
      if (slot.block != nullptr && exchange.Put(slot)) slot.block = nullptr;
    } else if (choice < 92) {
      Held taken;
      if (exchange.Take(taken)) {
        if (slot.block == nullptr) slot = taken;
        else release(taken);
      }
    } else if (choice < 95) {
      if (slot.block != nullptr && slot.family == Family::Malloc && reserve.Put(slot)) {
        slot.block = nullptr;
      }
    } else if (choice < 97) {
      // Mostly tight limits, so that recovery, the hook and refusals all come up.
      int64_t const headroom = rng.Below(4) == 0 ? int64_t{8} << 20
                                                 : static_cast<int64_t>(rng.Below(64 << 10)) - 4096;
      GTMC_SetMemoryAllocationRules(GTMC_GetTotalUsedMemory() + headroom);
    } else if (choice < 98) {
      GMM_EnableOverallocation(rng.Below(2) == 0);
    } else if (choice < 99) {
      Set_GTMC_MemoryFull(&CountMemoryFull);  // re-arms it
    } else {
      int64_t limit = 0;
      int64_t reserved = 0;
      GTMC_GetMemoryAllocationRules(&limit, &reserved);
      if (reserved != 0 || GTMC_GetFreeMemory() < 0 || GTMC_GetTotalUsedMemory() < 0 ||
          GTMC_GetOSUsedMemory() <= 0) {
        ++worker.inconsistencies;
      }
      static_cast<void>(GTMC_IsMemoryFull());
      static_cast<void>(GTMC_GetTotalUseableMemoryApproximation());
    }
    if (GTMC_GetAllocationSizeInCurrentThread() - start != ledger - freedByHookHere) {
      ++worker.inconsistencies;
    }
  }
  for (Held& held : slots) {
    if (held.block != nullptr) release(held);
  }
  worker.threadChange = GTMC_GetAllocationSizeInCurrentThread() - start;
  return nullptr;
}

using StressTest = BudgetTest;

TEST_F(StressTest, ThreadsSharingOneBudgetKeepEveryCountExact) {
  {
    int64_t const before = GTMC_GetAllocationSizeInCurrentThread();
    void* const probe = ::operator new(64);
    newIsAccounted = GTMC_GetAllocationSizeInCurrentThread() != before;
    ::operator delete(probe);
  }
  Worker workers[kThreads];
  pthread_t threads[kThreads];

  int64_t const totalBefore = GTMC_GetTotalUsedMemory();
  int64_t const mainBefore = GTMC_GetAllocationSizeInCurrentThread();
  GTMC_GarbageCollect = &FreeFromReserve;
  Set_GTMC_MemoryFull(&CountMemoryFull);
  GMM_SetOnOverallocation(&CountOverallocation);
  int started = 0;
  for (; started < kThreads; ++started) {
    workers[started].index = started;
    if (pthread_create(&threads[started], nullptr, &RunWorker, &workers[started]) != 0) break;
  }
  for (int i = 0; i < started; ++i) pthread_join(threads[i], nullptr);
  RestorePolicy();
  // What the workers left behind is released here, on this thread.
  Held held;
  while (exchange.Take(held)) Release(held, false);
  while (reserve.Take(held)) Release(held, false);
  int64_t const mainChange = GTMC_GetAllocationSizeInCurrentThread() - mainBefore;
  int64_t const totalAfter = GTMC_GetTotalUsedMemory();

  ASSERT_EQ(started, kThreads);
  int64_t sum = mainChange;
  int64_t refused = 0;
  for (Worker const& worker : workers) {
    sum += worker.threadChange;
    refused += worker.refused;
    EXPECT_EQ(worker.inconsistencies, 0) << "thread " << worker.index;
    EXPECT_EQ(worker.corruptBlocks, 0) << "thread " << worker.index;
  }
  EXPECT_EQ(totalAfter, totalBefore);
  EXPECT_EQ(sum, totalAfter - totalBefore);
  // The tight limits must actually have driven requests into recovery.
  EXPECT_GT(hookCalls.load(), 0);
  RecordProperty("threads", kThreads);
  RecordProperty("operations_per_thread", kOperationsPerThread);
  std::printf("%d threads x %d operations: %lld refused, %lld hook calls, %lld memory-full, "
              "%lld over-limit grants, new/delete %saccounted\n",
              kThreads, kOperationsPerThread, static_cast<long long>(refused),
              static_cast<long long>(hookCalls.load()),
              static_cast<long long>(memoryFullCalls.load()),
              static_cast<long long>(overallocations.load()), newIsAccounted ? "" : "not ");
}

}  // namespace
