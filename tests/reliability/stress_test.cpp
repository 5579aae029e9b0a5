// Many threads against one budget: every allocating entry point, blocks released by threads
// other than their allocator, limit and over-allocation switches flipped mid-flight, a
// collection hook that frees from a shared reserve, and a memory-full handler that returns.
// Each worker compares a ledger of its own allocations and releases (the hook's on its thread
// included) with its per-thread count after every operation; at the end the total must be
// back at its start and the per-thread changes must add up to it. Workers are plain pthreads:
// std::thread frees its start state on the new thread after the body returns.
#include <pthread.h>

#include <mutex>
#include <new>
#include <random>

#include "memmgr_test.h"

#if defined(__SANITIZE_THREAD__)
#define MEMMGR_STRESS_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define MEMMGR_STRESS_UNDER_TSAN 1
#endif
#endif

namespace {

constexpr int kThreads = 8, kSlots = 48;
#ifdef MEMMGR_STRESS_UNDER_TSAN
constexpr int kOperations = 10000;  // per thread; TSan is many times slower
#else
constexpr int kOperations = 50000;
#endif

enum class Family : uint8_t { Malloc, New, NewArray, NothrowNew };
struct Held {
  void* block = nullptr;
  Family family = Family::Malloc;
  int tag = -1;  // the first byte, which must survive hand-offs and resizes; -1: none
  bool Intact() const { return tag < 0 || *static_cast<unsigned char*>(block) == tag; }
};

// Whether this executable's new/delete reach the library: sanitizer runtimes and valgrind
// bring their own, and then the new family is not accounted.
bool newIsAccounted = true;

int64_t Accounted(Held const& held) {
  return held.family != Family::Malloc && !newIsAccounted ? 0 : Usable(held.block);
}

void Release(Held const& held, bool aligned) {
  switch (held.family) {
    case Family::Malloc: aligned ? mmgr_aligned_free(held.block) : mmgr_free(held.block); break;
    case Family::New: ::operator delete(held.block); break;
    case Family::NewArray: delete[] static_cast<char*>(held.block); break;
    case Family::NothrowNew: ::operator delete(held.block, std::nothrow); break;
  }
}

// Blocks that no thread owns, in static storage: using the pool allocates nothing.
template <int Capacity>
struct Pool {
  std::mutex mutex;
  int size = 0;
  Held items[Capacity];
  bool Put(Held const& held) {
    std::lock_guard<std::mutex> lock(mutex);
    return size < Capacity && (items[size++] = held, true);
  }
  bool Take(Held& held) {
    std::lock_guard<std::mutex> lock(mutex);
    return size > 0 && (held = items[--size], true);
  }
};
Pool<256> exchange;  // blocks on their way from one thread to another
Pool<512> reserve;   // malloc-family blocks the collection hook frees
constinit thread_local int64_t freedByHookHere = 0;

int FreeFromReserve(size_t amount) {
  HookTrace::Record(kCollect, amount);
  size_t freed = 0;
  for (Held held; freed < amount && reserve.Take(held); mmgr_free(held.block)) {
    freedByHookHere += Usable(held.block);
    freed += static_cast<size_t>(Usable(held.block)) + 1;
  }
  return 0;
}

struct Worker {
  int index = 0;
  int64_t threadChange = 0;  // this thread's count at exit minus at start
  int64_t mismatches = 0, corruptBlocks = 0;
};

// Hides where a pointer came from: the optimiser may assume that a plain `new` never gives
// null, but the library's does when recovery fails.
template <typename T>
T* Opaque(T* p) {
  asm volatile("" : "+r"(p));
  return p;
}

void* RunWorker(void* argument) {
  Worker& worker = *static_cast<Worker*>(argument);
  std::mt19937_64 random(static_cast<uint64_t>(worker.index) + 1);
  auto const below = [&random](uint64_t n) { return random() % n; };
  auto const size = [&below] {  // mostly small, a few above malloc's mmap threshold
    uint64_t const r = below(100);
    return size_t{1} + below(r < 70 ? 512 : r < 97 ? 16 << 10 : 256 << 10);
  };
  Held slots[kSlots];
  int64_t const start = GTMC_GetAllocationSizeInCurrentThread();
  int64_t ledger = 0;  // what this thread allocated minus what it released itself
  auto const release = [&](Held& held) {
    worker.corruptBlocks += !held.Intact();
    ledger -= Accounted(held);
    Release(held, below(2) == 0);
    held.block = nullptr;
  };

  for (int op = 0; op < kOperations; ++op) {
    Held& slot = slots[below(kSlots)];
    uint64_t const choice = below(100);
    if (choice < 45) {  // a new block from a randomly chosen entry point
      if (slot.block != nullptr) release(slot);
      size_t const n = size();
      bool empty = false;
      slot = {};
      switch (below(10)) {
        case 0: slot.block = mmgr_malloc(n); break;
        case 1: slot.block = mmgr_calloc(1 + below(8), n / 8 + 1); break;
        case 2: slot.block = mmgr_realloc(nullptr, n); break;
        case 3: slot.block = mmgr_aligned_alloc(size_t{32} << below(8), n); break;
        case 4: slot.block = FF_strdup("budgeted text"); break;
        case 5: slot.block = FF_wcsdup(L"budgeted wide text"); break;
        case 6: slot = {Opaque(::operator new(n)), Family::New}; break;
        case 7: slot = {Opaque(new char[n]), Family::NewArray}; break;
        case 8: slot = {::operator new(n, std::nothrow), Family::NothrowNew}; break;
        default: slot.block = mmgr_malloc(0), empty = true; break;
      }
      if (slot.block != nullptr) ledger += Accounted(slot), slot.tag = empty ? -1 : op & 0xFF;
      if (slot.tag >= 0) *static_cast<unsigned char*>(slot.block) = static_cast<unsigned char>(op);
    } else if (choice < 62) {
      if (slot.block != nullptr) release(slot);
    } else if (choice < 72) {
      if (slot.block != nullptr && slot.family == Family::Malloc) {
        int64_t const old = Accounted(slot);
        if (void* const resized = mmgr_realloc(slot.block, size())) {
          slot.block = resized;
          ledger += Accounted(slot) - old;
          worker.corruptBlocks += !slot.Intact();
        }
      }
    } else if (choice < 82) {
      if (slot.block != nullptr && exchange.Put(slot)) slot.block = nullptr;
    } else if (choice < 92) {
      Held taken;
      if (exchange.Take(taken)) slot.block == nullptr ? void(slot = taken) : release(taken);
    } else if (choice < 95) {
      if (slot.block != nullptr && slot.family == Family::Malloc && reserve.Put(slot)) {
        slot.block = nullptr;
      }
    } else if (choice < 97) {
      // Mostly tight limits, so that recovery, the hook and refusals all come up.
      GTMC_SetMemoryAllocationRules(GTMC_GetTotalUsedMemory() +
                                    (below(4) == 0 ? int64_t{8} << 20
                                                   : static_cast<int64_t>(below(64 << 10)) - 4096));
    } else if (choice < 98) {
      GMM_EnableOverallocation(below(2) == 0);
    } else if (choice < 99) {
      Set_GTMC_MemoryFull(&HookTrace::OnMemoryFull);  // re-arms it
    } else {
      int64_t limit = 0, reserved = 0;
      GTMC_GetMemoryAllocationRules(&limit, &reserved);
      worker.mismatches += reserved != 0 || GTMC_GetFreeMemory() < 0 ||
                           GTMC_GetTotalUsedMemory() < 0 || GTMC_GetOSUsedMemory() <= 0;
      static_cast<void>(GTMC_IsMemoryFull());
      static_cast<void>(GTMC_GetTotalUseableMemoryApproximation());
    }
    worker.mismatches +=
        GTMC_GetAllocationSizeInCurrentThread() - start != ledger - freedByHookHere;
  }
  for (Held& held : slots) if (held.block != nullptr) release(held);
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
  Counters const before = Counters::Now();
  HookTrace::Install();
  GTMC_GarbageCollect = &FreeFromReserve;
  int started = 0;
  for (; started < kThreads; ++started) {
    workers[started].index = started;
    if (pthread_create(&threads[started], nullptr, &RunWorker, &workers[started]) != 0) break;
  }
  for (int i = 0; i < started; ++i) pthread_join(threads[i], nullptr);
  RestorePolicy();
  // What the workers left behind is released here, on this thread.
  for (Held held; exchange.Take(held) || reserve.Take(held);) Release(held, false);
  Counters const change = Counters::Now() - before;

  ASSERT_EQ(started, kThreads);
  int64_t sum = change.thread;
  for (Worker const& worker : workers) {
    sum += worker.threadChange;
    EXPECT_EQ(worker.mismatches, 0) << "thread " << worker.index;
    EXPECT_EQ(worker.corruptBlocks, 0) << "thread " << worker.index;
  }
  EXPECT_EQ(change.used, 0);
  EXPECT_EQ(sum, change.used);
  // The tight limits must actually have driven requests into recovery.
  EXPECT_GT(HookTrace::Count(kCollect), 0);
}

}  // namespace
