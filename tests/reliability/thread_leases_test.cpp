// SPDX-License-Identifier: Apache-2.0
// What several threads may and may not see of the total. A thread may hold a lease of the
// budget (at most 64 KiB, in a build that gives them out): the total another thread sees is
// then above the exact sum of live blocks by at most the leases of the threads still alive,
// never below it; nothing is left over once they have ended, however many came and went or
// released each other's blocks; and the pressure signal fires once per arming. The same
// checks hold, with no slack used, in the build with one shared total.
#include <pthread.h>

#include <random>

#include "memmgr_test.h"

namespace {

constexpr int64_t kLeaseBound = 64 << 10;

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

// Threads that hold blocks (and leases) until released, so that the main thread can look at
// the total while they are alive. The first also releases 1 MiB the main thread allocated:
// its lease must not keep what those releases hand it.
struct Holders {
  static constexpr int kThreads = 4;
  std::atomic<int> ready{0}, release{0};
  void* blocks[kThreads][64] = {};
  void* handed[256] = {};
  int64_t held = 0;  // usable bytes of their live blocks, once all are ready

  void Hold(int i) {
    if (i == 0)
      for (void* block : handed) mmgr_free(block);
    std::minstd_rand random(i + 1);
    for (void*& block : blocks[i]) block = mmgr_malloc(16 + random() % 3000);
    ready.fetch_add(1);
    while (release.load() == 0) sched_yield();
    for (void* block : blocks[i]) mmgr_free(block);
  }
};

class ThreadLeases : public BudgetTest {};

// Thousands of short threads: each allocates a mix, releases half, hands the rest to the main
// thread; its own count must equal its ledger at every end, and the total must be exact after.
TEST_F(ThreadLeases, ChurnAndCrossThreadReleaseLeaveTheTotalExact) {
  constexpr int kRounds = 500, kPerRound = 4, kKept = 8;
  static void* kept[kRounds][kPerRound][kKept];
  static int64_t ownCount[kRounds][kPerRound], ledger[kRounds][kPerRound];
  int64_t const before = GTMC_GetTotalUsedMemory();
  int64_t keptBytes = 0;
  for (int round = 0; round < kRounds; ++round) {
    RunThreads(kPerRound, [&](int i) {
      std::minstd_rand random(round * kPerRound + i);
      int64_t mine = 0;
      for (int n = 0; n < 2 * kKept; ++n) {
        void* const block = mmgr_malloc(1 + random() % 20000);
        if (n % 2 == 0) {
          mmgr_free(block);
        } else {
          kept[round][i][n / 2] = block;
          mine += Usable(block);
        }
      }
      // Blocks of the previous round, released on a thread that did not allocate them.
      if (round > 0) {
        for (void*& block : kept[round - 1][i])
          mine -= Usable(block), mmgr_free(block), block = nullptr;
      }
      ownCount[round][i] = GTMC_GetAllocationSizeInCurrentThread();
      ledger[round][i] = mine;
    });
  }
  for (void* block : kept[kRounds - 1][0]) keptBytes += Usable(block);
  for (int i = 1; i < kPerRound; ++i)
    for (void* block : kept[kRounds - 1][i]) keptBytes += Usable(block);
  int64_t const whileKept = GTMC_GetTotalUsedMemory() - before;
  for (auto& blocks : kept[kRounds - 1])
    for (void* block : blocks) mmgr_free(block);
  EXPECT_EQ(GTMC_GetTotalUsedMemory(), before);
  EXPECT_EQ(whileKept, keptBytes);
  for (int round = 0; round < kRounds; ++round)
    for (int i = 0; i < kPerRound; ++i) EXPECT_EQ(ownCount[round][i], ledger[round][i]);
}

// Steps a thread takes as it ends, from a key destructor that runs after the library's own
// (its key is newer): the release of a block the main thread allocated and a new block that
// outlives the thread. With emulated TLS they come after the runtime has freed the thread's
// thread-locals; they must neither keep a lease nor lose one.
TEST_F(ThreadLeases, StepsFromKeyDestructorsAtThreadEndLeaveTheTotalExact) {
  constexpr int kThreads = 16;
  static void* blocks[kThreads];  // handed to each thread, then what its destructor made
  static pthread_key_t key;
  RunThreads(1, [](int) { mmgr_free(mmgr_malloc(100)); });  // the library's key exists
  ASSERT_EQ(pthread_key_create(&key,
                               [](void* slot) {
                                 auto* const block = static_cast<void**>(slot);
                                 mmgr_free(*block);
                                 *block = mmgr_malloc(3000);
                               }),
            0);
  int64_t const before = GTMC_GetTotalUsedMemory();
  for (void*& block : blocks) block = mmgr_malloc(5000);
  RunThreads(kThreads, [](int i) {
    void* own[8];  // enough to take a lease
    for (void*& block : own) block = mmgr_malloc(1000 + 100 * i);
    for (void* block : own) mmgr_free(block);
    pthread_setspecific(key, &blocks[i]);
  });
  pthread_key_delete(key);
  int64_t made = 0;
  for (void* block : blocks) made += Usable(block);
  EXPECT_EQ(GTMC_GetTotalUsedMemory(), before + made);
  for (void* block : blocks) mmgr_free(block);
  EXPECT_EQ(GTMC_GetTotalUsedMemory(), before);
}

// While other threads are alive the total is exact or above it by at most their leases; the
// budget test therefore refuses at most that early and never late; the total is exact again
// once they have ended.
TEST_F(ThreadLeases, LiveLeasesBoundTheTotalAndTheBudgetTest) {
  static Holders holders;
  int64_t const before = GTMC_GetTotalUsedMemory();
  for (void*& block : holders.handed) block = mmgr_malloc(4000);
  pthread_t thread;
  pthread_create(
      &thread, nullptr,
      [](void*) -> void* {
        RunThreads(Holders::kThreads, [](int i) { holders.Hold(i); });
        return nullptr;
      },
      nullptr);
  while (holders.ready.load() < Holders::kThreads) sched_yield();
  for (auto& blocks : holders.blocks)
    for (void* block : blocks) holders.held += Usable(block);
  int64_t const exact = before + holders.held;
  int64_t const seen = GTMC_GetTotalUsedMemory();
  int64_t const slack = Holders::kThreads * kLeaseBound;

  // One request of 1 MiB against limits around the exact total plus the request.
  int refusedAbove = 0, admittedAt = 0;
  for (int64_t margin : {int64_t{-1}, int64_t{0}, slack + 1, 2 * slack}) {
    GTMC_SetMemoryAllocationRules(exact + (1 << 20) + margin);
    GTMC_GarbageCollect = nullptr;
    GMM_EnableOverallocation(false);
    Set_GTMC_MemoryFull([](unsigned long) {});
    void* const block = mmgr_malloc(1 << 20);
    if (block == nullptr && margin >= 0) refusedAbove += margin > slack;
    if (block != nullptr && margin < 0) ++admittedAt;
    mmgr_free(block);
  }
  RestorePolicy();
  holders.release.store(1);
  pthread_join(thread, nullptr);
  EXPECT_GE(seen, exact);
  EXPECT_LE(seen, exact + slack);
  EXPECT_EQ(refusedAbove, 0) << "refused although the room exceeds every live lease";
  EXPECT_EQ(admittedAt, 0) << "admitted over the exact limit";
  EXPECT_EQ(GTMC_GetTotalUsedMemory(), before);
}

// Four threads race past the threshold many times; each arming fires exactly once.
TEST_F(ThreadLeases, PressureFiresOncePerArmingAcrossThreads) {
  static std::atomic<int> calls{0};
  for (int arming = 0; arming < 20; ++arming) {
    calls = 0;
    GTMC_SetMemoryPressureCallback(GTMC_GetTotalUsedMemory() + (256 << 10),
                                   [](int64_t, int64_t) { calls.fetch_add(1); });
    RunThreads(4, [](int) {
      void* blocks[128];  // 500 KB: one thread alone crosses the threshold
      for (void*& block : blocks) block = mmgr_malloc(4000);
      for (void* block : blocks) mmgr_free(block);
    });
    GTMC_SetMemoryPressureCallback(-1, nullptr);
    ASSERT_EQ(calls.load(), 1) << "arming " << arming;
  }
}

}  // namespace
