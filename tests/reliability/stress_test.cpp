// SPDX-License-Identifier: Apache-2.0
// Many threads against one budget: every allocating entry point, blocks released by threads
// other than their allocator, limit and over-allocation switches flipped mid-flight, a
// collection hook that frees from a shared reserve, a memory-full handler that returns, and
// call-site sampling on throughout (each thread keeps its own countdown; a block sampled on one
// thread and released on another is told there).
// Each worker compares a ledger of its own allocations and releases (the hook's on its thread
// included) with its per-thread count after every operation; at the end the total must be
// back at its start and the per-thread changes must add up to it. Workers are plain pthreads:
// std::thread frees its start state on the new thread after the body returns.
#include <new>
#include <random>

#include "memmgr_test.h"

namespace {

constexpr int kThreads = 8, kSlots = 48;
#ifdef MEMMGR_SANITIZED
constexpr int kOperations = 10000;  // per thread; the sanitizers are many times slower
#else
constexpr int kOperations = 50000;
#endif

bool newIsAccounted = true;  // else the workers leave the new family out

// Malloc-family blocks that no thread owns, each in a place of its own (null: empty).
template <size_t N>
struct Pool {
  std::atomic<void*> places[N];
  std::atomic<int> count{0};
  bool Put(size_t at, void* block) {
    void* empty = nullptr;
    return places[at % N].compare_exchange_strong(empty, block) && (++count, true);
  }
  // `count` is only a hint for the hook's scan: a Take may come between a Put's store and
  // its count, so the block goes back whatever the count says.
  void* Take(size_t at) {
    void* const block = places[at % N].exchange(nullptr);
    if (block != nullptr) --count;
    return block;
  }
};
Pool<256> exchange;  // blocks on their way from one thread to another
Pool<512> reserve;   // blocks the collection hook frees
constinit thread_local int64_t freedByHookHere = 0;
std::atomic<int> sampled{0};

int FreeFromReserve(size_t amount) {
  HookTrace::Record(kCollect, amount);
  size_t freed = 0;
  for (size_t at = 0; at < 512 && freed < amount && reserve.count > 0; ++at) {
    void* const block = reserve.Take(at);
    if (block == nullptr) continue;
    freedByHookHere += Usable(block);
    freed += static_cast<size_t>(Usable(block)) + 1;
    mmgr_free(block);
  }
  return 0;
}

struct Worker {
  int64_t threadChange = 0;  // this thread's count at exit minus at start
  int64_t mismatches = 0;
} workers[kThreads];

void RunWorker(Worker& worker) {
  std::mt19937_64 random(static_cast<uint64_t>(&worker - workers) + 1);
  auto const below = [&random](uint64_t n) { return random() % n; };
  auto const size = [&below] {  // mostly small, a few above malloc's mmap threshold
    uint64_t const r = below(100);
    return size_t{1} + below(r < 70 ? 512 : r < 97 ? 16 << 10 : 256 << 10);
  };
  struct {
    void* block = nullptr;
    decltype(Form::release) release = ReleaseAny;
  } slots[kSlots];
  int64_t const start = GTMC_GetAllocationSizeInCurrentThread();
  int64_t ledger = 0;  // what this thread allocated minus what it released itself
  auto const release = [&](void* block, decltype(Form::release) how) {
    ledger -= Usable(block);
    how(block, random());
  };

  for (int op = 0; op < kOperations; ++op) {
    auto& slot = slots[below(kSlots)];
    uint64_t const choice = below(100);
    if (choice < 45) {  // a new block from a randomly chosen entry point
      if (slot.block != nullptr) release(slot.block, slot.release);
      Form const& form = kForms[below(newIsAccounted ? std::size(kForms) : kMallocForms)];
      slot = {form.take(size(), random()), form.release};
      ledger += Usable(slot.block);
    } else if (choice < 62) {
      if (slot.block != nullptr) release(slot.block, slot.release), slot.block = nullptr;
    } else if (choice < 72) {
      if (slot.block != nullptr && slot.release == ReleaseAny) {
        int64_t const old = Usable(slot.block);
        if (void* const resized = mmgr_realloc(slot.block, size())) slot.block = resized;
        ledger += Usable(slot.block) - old;
      }
    } else if (choice < 95) {  // hand a block over to other threads, or to the hook
      bool const toHook = choice >= 92;
      if (slot.block != nullptr && slot.release == ReleaseAny &&
          (toHook ? reserve.Put(below(512), slot.block) : exchange.Put(below(256), slot.block))) {
        slot.block = nullptr;
      }
      void* const taken = toHook ? nullptr : exchange.Take(below(256));
      if (taken != nullptr)
        slot.block == nullptr ? void(slot = {taken, ReleaseAny}) : release(taken, ReleaseAny);
    } else if (choice < 97) {
      // Mostly tight limits, so that recovery, the hook and refusals all come up.
      GTMC_SetMemoryAllocationRules(
          GTMC_GetTotalUsedMemory() +
          (below(4) == 0 ? int64_t{8} << 20 : static_cast<int64_t>(below(64 << 10)) - 4096));
    } else if (choice < 98) {
      GMM_EnableOverallocation(below(2) == 0);
    } else if (choice < 99) {
      Set_GTMC_MemoryFull(&HookTrace::OnMemoryFull);  // re-arms it
    } else {
      worker.mismatches +=
          GTMC_GetFreeMemory() < 0 || GTMC_GetTotalUsedMemory() < 0 || GTMC_GetOSUsedMemory() <= 0;
    }
    worker.mismatches +=
        GTMC_GetAllocationSizeInCurrentThread() - start != ledger - freedByHookHere;
  }
  for (auto& held : slots) {
    if (held.block != nullptr) release(held.block, held.release);
  }
  worker.threadChange = GTMC_GetAllocationSizeInCurrentThread() - start;
}

using StressTest = BudgetTest;

TEST_F(StressTest, ThreadsSharingOneBudgetKeepEveryCountExact) {
  newIsAccounted = NewIsAccounted();
  Counters const before = Counters::Now();
  HookTrace::Install();
  GTMC_GarbageCollect = &FreeFromReserve;
  mmgr_set_sampling(16 << 10, [](void const*, size_t, bool, size_t) { sampled.fetch_add(1); });
  RunThreads(kThreads, [](int i) { RunWorker(workers[i]); });
  mmgr_set_sampling(0, nullptr);
  RestorePolicy();
  // What the workers left behind is released here, on this thread.
  for (size_t at = 0; at < 512; ++at) mmgr_free(exchange.Take(at)), mmgr_free(reserve.Take(at));
  Counters const change = Counters::Now() - before;

  int64_t sum = change.thread;
  for (Worker const& worker : workers) {
    sum += worker.threadChange;
    EXPECT_EQ(worker.mismatches, 0) << "thread " << &worker - workers;
  }
  EXPECT_EQ(change.used, 0);
  EXPECT_EQ(sum, change.used);
  // The tight limits must actually have driven requests into recovery.
  EXPECT_GT(HookTrace::Count(), 0);
  EXPECT_GT(sampled.load(), kThreads);
}

}  // namespace
