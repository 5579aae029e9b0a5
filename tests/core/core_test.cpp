// The budgeted allocator core through its public entry points: setters, accounting by
// usable size, the exact order of hook, over-allocation and handler calls in the recovery
// sequence, resizes, and the default handler ending the process.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>

#include "hook_trace.h"

namespace {

using E = HookTrace::Event;
MemoryFullHandler const kHandlerAtLoad = GTMC_MemoryFull;
// Far beyond any address space: the system allocator always refuses it, yet rounding
// leaves it a positive size, so it is over any small limit.
constexpr size_t kNeverAvailable = size_t{1} << 62;

class CoreTest : public BudgetTest {
 protected:
  void SetUp() override {
    BudgetTest::SetUp();  // first, so that TearDown restores what was there
    if (std::getenv("VOQ_MAXIMUM_MEMORY") != nullptr) GTEST_SKIP() << "limit fixed at load";
  }
  // Installs the recorders and puts every request of one byte or more over the limit.
  static void TightLimit(bool overallocation) {
    HookTrace::Install();
    GMM_EnableOverallocation(overallocation);
    SetHeadroom(0);
  }
};

TEST_F(CoreTest, LimitIsHeldUnroundedAndReadBackByEveryQuery) {
  int64_t const used = GTMC_GetTotalUsedMemory();
  for (int64_t const value : {used + 12345, int64_t{0}, int64_t{-1}, INT64_MAX, INT64_MIN}) {
    int const result = GTMC_SetMemoryAllocationRules(value);
    int64_t limit = 0;
    int64_t reserved = 7;
    GTMC_GetMemoryAllocationRules(&limit, &reserved);
    int64_t const reads[] = {limit, GTMC_GetTotalMemory(), GTMC_GetTotalUseableMemory(),
                             GTMC_GetTotalUseableMemoryApproximation()};
    int64_t const freeBytes = GTMC_GetFreeMemory();
    int64_t const usedNow = GTMC_GetTotalUsedMemory();
    RestorePolicy();
    EXPECT_EQ(result + reserved, 0);
    for (int64_t const read : reads) EXPECT_EQ(read, value);
    // What is left under the limit, never below zero; nothing under a negative limit.
    EXPECT_EQ(freeBytes, value > usedNow ? value - usedNow : 0) << value;
  }
}

void OtherHandler(unsigned long size) { HookTrace::OnMemoryFull(size); }

TEST_F(CoreTest, HandlerFiresOnceUntilReinstalledWithTheSetter) {
  TightLimit(false);
  void* results[4] = {mmgr_malloc(100), mmgr_malloc(200)};
  size_t const firstSize = HookTrace::Last(kMemoryFull);
  GTMC_MemoryFull = OtherHandler;  // a plain store does not re-arm
  results[2] = mmgr_malloc(300);
  int const firedBeforeRearm = HookTrace::Count(kMemoryFull);
  MemoryFullHandler const replaced = Set_GTMC_MemoryFull(HookTrace::OnMemoryFull);
  results[3] = mmgr_malloc(400);
  MemoryFullHandler const previous = Set_GTMC_MemoryFull(nullptr);
  bool const full = GTMC_IsMemoryFull();
  RestorePolicy();
  for (void* const result : results) EXPECT_EQ(result, nullptr);
  EXPECT_EQ(firedBeforeRearm, 1);
  EXPECT_EQ(firstSize, 100u);
  EXPECT_EQ(HookTrace::Count(kMemoryFull), 2);
  EXPECT_EQ(HookTrace::Last(kMemoryFull), 400u);
  EXPECT_EQ(replaced, &OtherHandler);
  EXPECT_EQ(previous, &HookTrace::OnMemoryFull);
  EXPECT_TRUE(full && GTMC_IsMemoryFull());  // re-arming never clears it
}

TEST_F(CoreTest, MallocAndFreeMoveBothCountersByTheUsableSize) {
  for (size_t const size : {size_t{0}, size_t{24}, size_t{4096}, size_t{1} << 20}) {
    Counters const before = Counters::Now();
    void* const block = mmgr_malloc(size);
    Counters const held = Counters::Now() - before;
    int64_t const usable = Usable(block);
    mmgr_free(block);
    EXPECT_EQ(Counters::Now(), before) << size;
    ASSERT_NE(block, nullptr);
    EXPECT_GE(usable, static_cast<int64_t>(size));
    EXPECT_EQ(held, Delta(usable)) << size;
  }
}

TEST_F(CoreTest, ReallocMovesBothCountersByTheChangeInUsableSize) {
  // Growing usually moves the block; glibc shrinks a large one in place.
  using Resize = std::pair<size_t, size_t>;
  for (auto const& [from, to] :
       {Resize{100, 5000}, Resize{5000, 100}, Resize{64, 64}, Resize{1 << 20, 5 << 20}}) {
    auto* const block = static_cast<unsigned char*>(mmgr_malloc(from));
    size_t const kept = std::min(from, to);
    std::memset(block, 0x5A, kept);
    int64_t const old = Usable(block);
    Counters const before = Counters::Now();
    auto* const resized = static_cast<unsigned char*>(mmgr_realloc(block, to));
    Counters const change = Counters::Now() - before;
    ASSERT_NE(resized, nullptr);
    EXPECT_EQ(change, Delta(Usable(resized) - old)) << from << " -> " << to;
    EXPECT_EQ(resized[kept - 1], 0x5A);
    mmgr_free(resized);
  }
}

TEST_F(CoreTest, EachThreadCountsWhatItAllocatesAndReleases) {
  void* const mine = mmgr_malloc(3000);
  int64_t const mineUsable = Usable(mine);
  void* theirs = nullptr;
  int64_t released = 0;
  int64_t allocated = 0;
  std::thread([&] {
    int64_t const start = GTMC_GetAllocationSizeInCurrentThread();
    mmgr_free(mine);
    released = GTMC_GetAllocationSizeInCurrentThread() - start;
    theirs = mmgr_malloc(200);
    allocated = GTMC_GetAllocationSizeInCurrentThread() - start - released;
  }).join();
  int64_t const theirUsable = Usable(theirs);
  Counters const before = Counters::Now();
  mmgr_free(theirs);
  EXPECT_EQ(Counters::Now() - before, Delta(-theirUsable));
  EXPECT_EQ(released, -mineUsable);
  EXPECT_EQ(allocated, theirUsable);
}

TEST_F(CoreTest, OverLimitRequestCollectsThenOverallocates) {
  for (bool const asResize : {false, true}) {
    TightLimit(true);
    int64_t const used = GTMC_GetTotalUsedMemory();
    int64_t const limit = GTMC_GetTotalMemory();
    void* const block = asResize ? mmgr_realloc(nullptr, 1001) : mmgr_malloc(1001);
    int64_t const change = GTMC_GetTotalUsedMemory() - used;
    RestorePolicy();
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(change, Usable(block));
    mmgr_free(block);
    // An allocation tells the request and the total before it; a resize (from null too)
    // tells the rounded growth and the total after it.
    E const told = asResize ? E{kOverallocation, 1008, used + 1008, limit}
                            : E{kOverallocation, 1001, used, limit};
    EXPECT_EQ(HookTrace::Events(),
              (std::vector<E>{{kCollect, 1001}, {kCollect, 1501}, {kCollect, SIZE_MAX}, told}));
  }
}

// Refused by the budget throughout; FailedResizeKeeps... has one the system refuses.
TEST_F(CoreTest, RequestThatFailsThroughoutRunsTheWholeSequence) {
  TightLimit(false);
  Counters const before = Counters::Now();
  void* const block = mmgr_malloc(100);
  Counters const after = Counters::Now();
  RestorePolicy();
  EXPECT_EQ(block, nullptr);
  EXPECT_EQ(after, before);
  EXPECT_EQ(HookTrace::Events(7), FailedRecoveryStart(100));
  EXPECT_EQ(HookTrace::Count(kCollect), 517);
  EXPECT_EQ(HookTrace::Count(kMemoryFull), 1);
  EXPECT_EQ(HookTrace::Count(kOverallocation), 0);
}

void* ballast = nullptr;
int FreeBallast(size_t amount) {
  mmgr_free(std::exchange(ballast, nullptr));
  return HookTrace::OnCollect(amount);
}
int RemoveSelf(size_t amount) {
  GTMC_GarbageCollect = nullptr;
  return HookTrace::OnCollect(amount);
}

// A hook that frees enough at its first call is called once; one that removes itself, or a
// missing one, is not called again. A null handler is skipped.
TEST_F(CoreTest, HookIsReadAfreshAndNullHandlerSkipped) {
  struct Case {
    GarbageCollectHook hook;
    MemoryFullHandler handler;
    int collections, fired;
  };
  for (Case const c : {Case{FreeBallast, HookTrace::OnMemoryFull, 1, 0},
                       Case{RemoveSelf, HookTrace::OnMemoryFull, 1, 1},
                       Case{nullptr, HookTrace::OnMemoryFull, 0, 1},
                       Case{HookTrace::OnCollect, nullptr, 517, 0}}) {
    ballast = c.hook == FreeBallast ? mmgr_malloc(64 * 1024) : nullptr;
    TightLimit(false);
    SetHeadroom(1024);
    GTMC_GarbageCollect = c.hook;
    GTMC_MemoryFull = c.handler;
    void* const block = mmgr_malloc(16 * 1024);
    RestorePolicy();
    EXPECT_EQ(block != nullptr, c.hook == FreeBallast);
    EXPECT_EQ(HookTrace::Count(kCollect), c.collections);
    EXPECT_EQ(HookTrace::Count(kMemoryFull), c.fired);
    EXPECT_TRUE(c.hook == FreeBallast || GTMC_IsMemoryFull());  // fired, even if null
    mmgr_free(block);
  }
}

void* nested = nullptr;
void AllocateInHandler(unsigned long size) {
  HookTrace::OnMemoryFull(size);
  nested = mmgr_malloc(size);
}

TEST_F(CoreTest, HandlerIsMarkedFiredBeforeItRuns) {
  nested = &nested;
  TightLimit(false);
  Set_GTMC_MemoryFull(AllocateInHandler);
  void* const block = mmgr_malloc(100);
  RestorePolicy();
  EXPECT_EQ(block, nullptr);
  EXPECT_EQ(nested, nullptr);
  // The nested request ran its whole sequence too, skipping only the handler.
  EXPECT_EQ(HookTrace::Count(kMemoryFull), 1);
  EXPECT_EQ(HookTrace::Count(kCollect), 2 * 517);
}

TEST_F(CoreTest, ReallocToZeroReleasesUnlessTheRestIsStillOverTheLimit) {
  EXPECT_EQ(mmgr_realloc(nullptr, 0), nullptr);
  void* block = mmgr_malloc(100);
  int64_t const usable = Usable(block);
  Counters before = Counters::Now();
  EXPECT_EQ(mmgr_realloc(block, 0), nullptr);
  EXPECT_EQ(Counters::Now() - before, Delta(-usable));
  block = mmgr_malloc(100);
  std::memset(block, 0x33, 100);
  TightLimit(true);
  SetHeadroom(-4096);
  before = Counters::Now();
  void* const result = mmgr_realloc(block, 0);
  Counters const after = Counters::Now();
  RestorePolicy();
  EXPECT_EQ(result, nullptr);
  EXPECT_EQ(after, before);
  EXPECT_EQ(static_cast<unsigned char*>(block)[99], 0x33);
  EXPECT_EQ(HookTrace::Count(), 0);
  mmgr_free(block);
}

TEST_F(CoreTest, OverLimitShrinkTellsTheCallbackANegativeGrowth) {
  void* const block = mmgr_malloc(4000);
  int64_t const old = Usable(block);
  TightLimit(true);
  SetHeadroom(-8192);
  int64_t const used = GTMC_GetTotalUsedMemory();
  int64_t const limit = GTMC_GetTotalMemory();
  void* const resized = mmgr_realloc(block, 100);
  int64_t const change = GTMC_GetTotalUsedMemory() - used;
  RestorePolicy();
  ASSERT_NE(resized, nullptr);
  EXPECT_EQ(change, Usable(resized) - old);
  int64_t const growth = 112 - old;
  // The hook hears of the whole request; the callback, of the growth.
  EXPECT_EQ(HookTrace::Events(),
            (std::vector<E>{{kCollect, 100}, {kCollect, 150}, {kCollect, SIZE_MAX},
                            {kOverallocation, size_t(growth), used + growth, limit}}));
  mmgr_free(resized);
}

TEST_F(CoreTest, FailedResizeKeepsTheOldBlockValidAndAccounted) {
  auto* const block = static_cast<unsigned char*>(mmgr_malloc(100));
  std::memset(block, 0x77, 100);
  size_t const old = mmgr_malloc_usable_size(block);
  HookTrace::Install();
  Counters const before = Counters::Now();
  void* const resized = mmgr_realloc(block, kNeverAvailable);
  Counters const after = Counters::Now();
  RestorePolicy();
  EXPECT_EQ(resized, nullptr);
  EXPECT_EQ(after, before);
  EXPECT_EQ(block[99], 0x77);
  EXPECT_EQ(HookTrace::Events(3), (std::vector<E>{{kCollect, kNeverAvailable},
                                                   {kCollect, kNeverAvailable / 2 * 3},
                                                   {kCollect, SIZE_MAX}}));
  EXPECT_EQ(HookTrace::Count(kCollect), 517);
  EXPECT_EQ(HookTrace::Count(kOverallocation), 513);
  EXPECT_EQ(HookTrace::Last(kOverallocation), kNeverAvailable - old);
  EXPECT_EQ(HookTrace::Last(kMemoryFull), kNeverAvailable);
  mmgr_free(block);
}

TEST_F(CoreTest, DefaultHandlerEndsTheProcessWithStatusOne) {
  // Refused by the budget with over-allocation off.
  EXPECT_EXIT((Set_GTMC_MemoryFull(kHandlerAtLoad), GMM_EnableOverallocation(false),
               GTMC_SetMemoryAllocationRules(0), mmgr_malloc(64), std::_Exit(0)),
              ::testing::ExitedWithCode(1), "");
  // SIZE_MAX rounds to 0, passes the budget and is refused by the system allocator.
  EXPECT_EXIT((Set_GTMC_MemoryFull(kHandlerAtLoad), mmgr_malloc(SIZE_MAX), std::_Exit(0)),
              ::testing::ExitedWithCode(1), "");
}

}  // namespace
