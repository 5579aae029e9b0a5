// SPDX-License-Identifier: Apache-2.0
// What several threads see of the total. A thread may hold a lease of the budget (at most
// 64 KiB, in a build that gives them out), and threads may hold one and sit idle: the figures
// are still the exact sum of live blocks while the others are between steps, a request is
// refused only when that exact sum leaves no room for it, nothing is left over once threads
// have ended, however many came and went or released each other's blocks, and the peak and
// the pressure signal are off by at most the other threads' leases. The same checks hold in
// the build with one shared total.
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include "memmgr_test.h"

namespace {

constexpr int64_t kLeaseBound = 64 << 10;

// Threads that allocate blocks (taking leases), then sit blocked at a barrier while the main
// thread looks at the total; released, each takes one more step, and after another barrier they
// release everything. The first also releases 1 MiB the main thread allocated: its lease must
// not keep what those releases hand it.
struct IdleHolders {
  static constexpr int kThreads = 4;
  pthread_barrier_t idle, stepped, done;
  pthread_t threads[kThreads];
  void* blocks[kThreads][64] = {};
  void* handed[256] = {};
  int64_t held = 0;             // usable bytes of their live blocks, once all are idle
  std::atomic<int> started{0};  // each thread's index, in the order they start

  void Start() {
    for (void*& block : handed) block = mmgr_malloc(4000);
    pthread_barrier_init(&idle, nullptr, kThreads + 1);
    pthread_barrier_init(&stepped, nullptr, kThreads + 1);
    pthread_barrier_init(&done, nullptr, kThreads + 1);
    for (pthread_t& thread : threads) pthread_create(&thread, nullptr, &Hold, this);
    pthread_barrier_wait(&idle);
    for (auto& own : blocks)
      for (void* block : own) held += Usable(block);
  }
  // Lets each take one step of 16 bytes and come back to rest.
  void StepOnce() {
    pthread_barrier_wait(&idle);
    pthread_barrier_wait(&stepped);
  }
  void Finish() {
    pthread_barrier_wait(&done);
    for (pthread_t thread : threads) pthread_join(thread, nullptr);
    for (pthread_barrier_t* barrier : {&idle, &stepped, &done}) pthread_barrier_destroy(barrier);
  }

  static void* Hold(void* argument) {
    auto* const self = static_cast<IdleHolders*>(argument);
    int const i = self->started.fetch_add(1);
    if (i == 0)
      for (void* block : self->handed) mmgr_free(block);
    std::minstd_rand random(i + 1);
    for (void*& block : self->blocks[i]) block = mmgr_malloc(16 + random() % 3000);
    pthread_barrier_wait(&self->idle);
    pthread_barrier_wait(&self->idle);
    mmgr_free(self->blocks[i][0]);
    self->blocks[i][0] = mmgr_malloc(16);
    pthread_barrier_wait(&self->stepped);
    pthread_barrier_wait(&self->done);
    for (void* block : self->blocks[i]) mmgr_free(block);
    return nullptr;
  }
};

// The shared figure as a reader outside the process takes it: with leases, the exact total
// plus the unspent leases.
int64_t SharedFigure() { return *static_cast<int64_t const*>(mmgr_get_figure_locations()->total); }

class ThreadLeases : public BudgetTest {};

// Thousands of short threads: each allocates a mix, releases half, and releases the blocks a
// thread of the round before kept. Whatever leases the ended threads held, the total is exact
// while the last round's blocks are kept and once they are gone. (A thread's own count against
// its ledger, cross-thread releases included: the stress test, in either build.)
TEST_F(ThreadLeases, ChurnAndCrossThreadReleaseLeaveTheTotalExact) {
  constexpr int kRounds = 500, kPerRound = 4, kKept = 8;
  static void* kept[kRounds][kPerRound][kKept];
  int64_t const before = GTMC_GetTotalUsedMemory();
  int64_t keptBytes = 0;
  for (int round = 0; round < kRounds; ++round) {
    RunThreads(kPerRound, [&](int i) {
      std::minstd_rand random(round * kPerRound + i);
      for (int n = 0; n < 2 * kKept; ++n) {
        void* const block = mmgr_malloc(1 + random() % 20000);
        if (n % 2 == 0) {
          mmgr_free(block);
        } else {
          kept[round][i][n / 2] = block;
        }
      }
      if (round > 0) {
        for (void* block : kept[round - 1][i]) mmgr_free(block);
      }
    });
  }
  for (auto& blocks : kept[kRounds - 1])
    for (void* block : blocks) keptBytes += Usable(block);
  int64_t const whileKept = GTMC_GetTotalUsedMemory() - before;
  for (auto& blocks : kept[kRounds - 1])
    for (void* block : blocks) mmgr_free(block);
  EXPECT_EQ(GTMC_GetTotalUsedMemory(), before);
  EXPECT_EQ(whileKept, keptBytes);
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

// Threads that hold leases and sit idle take nothing from the others: the figures are exact,
// a request that fits the exact total to the byte is admitted without recovery and one byte
// more is refused, and the decision takes the ceilings away, so that each thread gives its
// lease back at its next step and the shared figure is exact again.
TEST_F(ThreadLeases, IdleLeasesLeaveTheWholeBudgetToOtherThreads) {
  static IdleHolders holders;
  static int collections = 0;
  int64_t const before = GTMC_GetTotalUsedMemory();
  holders.Start();
  int64_t const exact = before + holders.held;
  int64_t const total = GTMC_GetTotalUsedMemory();
  int64_t const leases = SharedFigure() - total;
  constexpr int64_t kRequest = 128 << 10;  // leaves less room than a ceiling needs to return
  GTMC_GarbageCollect = [](size_t) { return ++collections, 0; };
  GMM_EnableOverallocation(false);
  Set_GTMC_MemoryFull([](unsigned long) {});
  GTMC_SetMemoryAllocationRules(exact + kRequest);
  int64_t const free = GTMC_GetFreeMemory();
  void* const tooMuch = mmgr_malloc(kRequest + 1);
  int const collectionsRefusing = std::exchange(collections, 0);
  void* const toTheByte = mmgr_malloc(kRequest);
  int const collectionsAdmitting = collections;
  mmgr_free(toTheByte);
  holders.StepOnce();
  int64_t const leasesAfterSteps = SharedFigure() - GTMC_GetTotalUsedMemory();
  RestorePolicy();
  holders.Finish();
  EXPECT_EQ(total, exact);
  EXPECT_GE(leases, 0);
  EXPECT_LE(leases, (IdleHolders::kThreads + 1) * kLeaseBound);
  EXPECT_EQ(free, kRequest);
  EXPECT_EQ(tooMuch, nullptr) << "admitted over the exact limit";
  EXPECT_GT(collectionsRefusing, 0);
  EXPECT_NE(toTheByte, nullptr) << "refused although the exact total leaves room";
  EXPECT_EQ(collectionsAdmitting, 0) << "recovery started although the request fits";
  EXPECT_EQ(leasesAfterSteps, 0) << "a lease kept near the limit";
  EXPECT_EQ(GTMC_GetTotalUsedMemory(), before);
}

// A child of fork has only the thread that forked: the leases of the others go back there, so
// once its own is reclaimed (a refusal near the limit, then a step) the shared figure is exact.
TEST_F(ThreadLeases, ForkedChildGivesBackTheLeasesOfThreadsItHasNot) {
  static IdleHolders holders;
  holders.Start();
  pid_t const child = fork();
  if (child == 0) {
    GMM_EnableOverallocation(false);
    Set_GTMC_MemoryFull([](unsigned long) {});
    GTMC_SetMemoryAllocationRules(GTMC_GetTotalUsedMemory() + (64 << 10));
    void* const refused = mmgr_malloc(128 << 10);
    mmgr_free(mmgr_malloc(16));
    _exit(refused == nullptr && SharedFigure() == GTMC_GetTotalUsedMemory() ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  holders.StepOnce();
  holders.Finish();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

// With other threads idle on their leases, the peak and the pressure signal may be above the
// exact figure by at most those leases. (Alone they are exact: the entry-point table and the
// fuzzer check both after every call, in either build.) The total climbs in steps far smaller
// than that bound, so a signal within it of some step's exact total is within it of the top.
TEST_F(ThreadLeases, PeakAndPressureAreBoundedBesideLeases) {
  constexpr int64_t kSlack = IdleHolders::kThreads * kLeaseBound;
  static IdleHolders holders;
  static int64_t signalled = 0;
  holders.Start();
  void* blocks[64];
  int64_t top = GTMC_GetTotalUsedMemory();
  int64_t const threshold = top + (100 << 10);
  GTMC_ResetPeakUsedMemory();
  GTMC_SetMemoryPressureCallback(threshold, [](int64_t total, int64_t) { signalled = total; });
  for (int i = 0; i < 64; ++i) top += Usable(blocks[i] = mmgr_malloc(3000 + 16 * i));
  int64_t const peak = GTMC_GetPeakUsedMemory();
  for (void* block : blocks) mmgr_free(block);
  GTMC_SetMemoryPressureCallback(-1, nullptr);
  holders.StepOnce();
  holders.Finish();
  EXPECT_GE(peak, top);
  EXPECT_LE(peak, top + kSlack);
  EXPECT_GT(signalled, threshold);
  EXPECT_LE(signalled, top + kSlack);
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
