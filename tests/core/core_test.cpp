// The budgeted allocator core through its public entry points: setters, accounting by
// usable size, the recovery sequence's exact order of hook, over-allocation and handler
// calls, resizes, and the default handler ending the process.
//
// Recorders keep fixed static storage and atomic counters: they run inside the allocator
// while the budget is tight, where an allocation of their own would disturb what they count.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "budget_test.h"
#include "memmgr"

namespace {

MemoryFullHandler const kHandlerAtLoad = GTMC_MemoryFull;

// Far beyond any address space: the system allocator always refuses it, yet rounding
// leaves it a positive size, so it is over any small limit.
constexpr size_t kNeverAvailable = size_t{1} << 62;
constexpr size_t kRoundedUp(size_t n) { return (n + 15) & ~size_t{15}; }

// One call made to a hook, handler or callback.
struct CallLog {
  static constexpr int kKept = 8;
  std::atomic<int> calls{0};
  std::atomic<int> allBitsSet{0};  // calls whose first argument was SIZE_MAX
  size_t args[kKept][3] = {};

  void Record(size_t a, size_t b = 0, size_t c = 0) {
    int const i = calls.fetch_add(1);
    if (a == SIZE_MAX) allBitsSet.fetch_add(1);
    if (i < kKept) {
      args[i][0] = a;
      args[i][1] = b;
      args[i][2] = c;
    }
  }
  void Reset() {
    calls = 0;
    allBitsSet = 0;
  }
};

CallLog collections;
CallLog memoryFullEvents;
CallLog overallocations;

int RecordCollection(size_t amount) {
  collections.Record(amount);
  return 0;
}
void RecordMemoryFull(unsigned long size) { memoryFullEvents.Record(size); }
void OtherMemoryFull(unsigned long size) { memoryFullEvents.Record(size); }
void RecordOverallocation(size_t requested, int64_t total, int64_t limit) {
  overallocations.Record(requested, static_cast<size_t>(total), static_cast<size_t>(limit));
}

// Freed by the hook below on its first call.
std::atomic<void*> ballast{nullptr};
int FreeBallastOnce(size_t amount) {
  collections.Record(amount);
  mmgr_free(ballast.exchange(nullptr));
  return 0;
}
int RemoveSelf(size_t amount) {
  collections.Record(amount);
  GTMC_GarbageCollect = nullptr;
  return 0;
}
// A handler whose own request fails as the outer one did.
std::atomic<void*> nestedResult{reinterpret_cast<void*>(1)};
void AllocateInHandler(unsigned long size) {
  memoryFullEvents.Record(size);
  nestedResult = mmgr_malloc(size);
}

struct Counters {
  int64_t used;
  int64_t thread;
  bool operator==(Counters const&) const = default;
};
Counters Now() { return {GTMC_GetTotalUsedMemory(), GTMC_GetAllocationSizeInCurrentThread()}; }
int64_t Usable(void* block) { return static_cast<int64_t>(mmgr_malloc_usable_size(block)); }
int64_t Limit() {
  int64_t limit = 0;
  int64_t reserved = 0;
  GTMC_GetMemoryAllocationRules(&limit, &reserved);
  return limit;
}

// The hook's first three calls: the request, one and a half times it, then everything.
void ExpectEscalation(size_t size) {
  EXPECT_EQ(collections.args[0][0], size);
  EXPECT_EQ(collections.args[1][0], size + (size >> 1));
  EXPECT_EQ(collections.args[2][0], SIZE_MAX);
}

class CoreTest : public BudgetTest {
 protected:
  void SetUp() override {
    BudgetTest::SetUp();  // first, so that TearDown restores what was there
    if (std::getenv("VOQ_MAXIMUM_MEMORY") != nullptr) {
      GTEST_SKIP() << "the limit is fixed by VOQ_MAXIMUM_MEMORY";
    }
  }
  // Clears the logs and installs every recorder.
  static void Record(bool overallocation) {
    collections.Reset();
    memoryFullEvents.Reset();
    overallocations.Reset();
    Set_GTMC_MemoryFull(RecordMemoryFull);
    GMM_SetOnOverallocation(RecordOverallocation);
    GMM_EnableOverallocation(overallocation);
    GTMC_GarbageCollect = RecordCollection;
  }
  // Every request of one byte or more is now over the limit.
  static void TightenLimit() { SetHeadroom(0); }
};

// ---- Setters ---------------------------------------------------------------------------

using CoreSetters = CoreTest;

TEST_F(CoreSetters, LimitIsStoredUnroundedWhateverItsValue) {
  for (int64_t value : {int64_t{12345}, int64_t{0}, int64_t{-1}, INT64_MAX, INT64_MIN}) {
    int const result = GTMC_SetMemoryAllocationRules(value);
    int64_t limit = 0;
    int64_t reserved = 7;
    GTMC_GetMemoryAllocationRules(&limit, &reserved);
    RestorePolicy();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(limit, value);
    EXPECT_EQ(reserved, 0);
  }
}

TEST_F(CoreSetters, AllBitsSetLimitRefusesEvenAnEmptyRequestWithoutRecovery) {
  Record(true);
  GTMC_SetMemoryAllocationRules(-1);
  Counters const before = Now();
  void* const block = mmgr_malloc(0);
  Counters const after = Now();
  RestorePolicy();
  EXPECT_EQ(block, nullptr);
  EXPECT_EQ(after, before);
  EXPECT_EQ(collections.calls, 0);
  EXPECT_EQ(overallocations.calls, 0);
}

TEST_F(CoreSetters, SetMemoryFullReturnsThePreviousHandler) {
  MemoryFullHandler const first = Set_GTMC_MemoryFull(RecordMemoryFull);
  MemoryFullHandler const second = Set_GTMC_MemoryFull(OtherMemoryFull);
  MemoryFullHandler const third = Set_GTMC_MemoryFull(nullptr);
  MemoryFullHandler const held = GTMC_MemoryFull;
  RestorePolicy();
  EXPECT_EQ(first, savedMemoryFull_);
  EXPECT_EQ(second, &RecordMemoryFull);
  EXPECT_EQ(third, &OtherMemoryFull);
  EXPECT_EQ(held, nullptr);
}

TEST_F(CoreSetters, HandlerFiresOnceUntilReinstalledWithTheSetter) {
  Record(false);
  TightenLimit();
  void* const a = mmgr_malloc(100);
  void* const b = mmgr_malloc(200);
  GTMC_MemoryFull = OtherMemoryFull;  // a plain store does not re-arm
  void* const c = mmgr_malloc(300);
  int const beforeRearm = memoryFullEvents.calls;
  Set_GTMC_MemoryFull(RecordMemoryFull);
  void* const d = mmgr_malloc(400);
  bool const full = GTMC_IsMemoryFull();
  RestorePolicy();
  EXPECT_EQ(a, nullptr);
  EXPECT_EQ(b, nullptr);
  EXPECT_EQ(c, nullptr);
  EXPECT_EQ(d, nullptr);
  EXPECT_EQ(beforeRearm, 1);
  ASSERT_EQ(memoryFullEvents.calls, 2);
  EXPECT_EQ(memoryFullEvents.args[0][0], 100u);
  EXPECT_EQ(memoryFullEvents.args[1][0], 400u);
  EXPECT_TRUE(full);
  EXPECT_TRUE(GTMC_IsMemoryFull());
}

// ---- Accounting ------------------------------------------------------------------------

using CoreAccounting = CoreTest;

TEST_F(CoreAccounting, MallocAndFreeMoveBothCountersByTheUsableSize) {
  for (size_t size :
       {size_t{0}, size_t{1}, size_t{24}, size_t{100}, size_t{4096}, size_t{1} << 20}) {
    SCOPED_TRACE(size);
    Counters const before = Now();
    void* const block = mmgr_malloc(size);
    Counters const held = Now();
    int64_t const usable = Usable(block);
    mmgr_free(block);
    Counters const after = Now();
    ASSERT_NE(block, nullptr);
    EXPECT_GE(usable, static_cast<int64_t>(size));
    EXPECT_EQ(held.used - before.used, usable);
    EXPECT_EQ(held.thread - before.thread, usable);
    EXPECT_EQ(after, before);
  }
  Counters const before = Now();
  mmgr_free(nullptr);
  EXPECT_EQ(Now(), before);
}

TEST_F(CoreAccounting, ReallocMovesBothCountersByTheChangeInUsableSize) {
  struct Resize {
    size_t from, to;
  };
  // Growing usually moves the block; glibc shrinks a large one in place.
  for (Resize const r : {Resize{100, 5000}, Resize{5000, 100}, Resize{4000, 3000}, Resize{64, 64},
                         Resize{1 << 20, (1 << 20) + 4096}}) {
    SCOPED_TRACE(testing::Message() << r.from << " -> " << r.to);
    auto* const block = static_cast<unsigned char*>(mmgr_malloc(r.from));
    ASSERT_NE(block, nullptr);
    size_t const kept = r.from < r.to ? r.from : r.to;
    std::memset(block, 0x5A, kept);
    int64_t const old = Usable(block);
    Counters const before = Now();
    auto* const resized = static_cast<unsigned char*>(mmgr_realloc(block, r.to));
    Counters const after = Now();
    ASSERT_NE(resized, nullptr);
    int64_t const delta = Usable(resized) - old;
    EXPECT_EQ(after.used - before.used, delta);
    EXPECT_EQ(after.thread - before.thread, delta);
    EXPECT_EQ(resized[0], 0x5A);
    EXPECT_EQ(resized[kept - 1], 0x5A);
    mmgr_free(resized);
  }
}

TEST_F(CoreAccounting, ThreadCountFollowsTheThreadThatAllocatesOrReleases) {
  void* block = nullptr;
  int64_t workerDelta = 0;
  std::thread([&] {
    int64_t const start = GTMC_GetAllocationSizeInCurrentThread();
    block = mmgr_malloc(200);
    workerDelta = GTMC_GetAllocationSizeInCurrentThread() - start;
  }).join();
  ASSERT_NE(block, nullptr);
  int64_t const usable = Usable(block);
  EXPECT_EQ(workerDelta, usable);
  Counters const before = Now();
  mmgr_free(block);
  Counters const after = Now();
  EXPECT_EQ(before.used - after.used, usable);
  EXPECT_EQ(before.thread - after.thread, usable);
}

// ---- Recovery sequence -----------------------------------------------------------------

using CoreRecovery = CoreTest;

struct Entry {
  char const* name;
  void* (*allocate)(size_t);
  bool asResize;  // realloc(null, n) is a resize: the callback gets the rounded growth
};
void* Malloc(size_t size) { return mmgr_malloc(size); }
void* ReallocNull(size_t size) { return mmgr_realloc(nullptr, size); }
Entry const kEntries[] = {{"mmgr_malloc", Malloc, false},
                          {"mmgr_realloc(null)", ReallocNull, true}};

TEST_F(CoreRecovery, OverLimitRequestCollectsThenOverallocates) {
  constexpr size_t kSize = 1001;
  for (Entry const& entry : kEntries) {
    SCOPED_TRACE(entry.name);
    Record(true);
    TightenLimit();
    int64_t const used = GTMC_GetTotalUsedMemory();
    int64_t const limit = Limit();
    void* const block = entry.allocate(kSize);
    Counters const after = Now();
    RestorePolicy();
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(after.used - used, Usable(block));
    mmgr_free(block);
    EXPECT_EQ(collections.calls, 3);
    ExpectEscalation(kSize);
    ASSERT_EQ(overallocations.calls, 1);
    size_t const* told = overallocations.args[0];
    if (entry.asResize) {
      EXPECT_EQ(told[0], kRoundedUp(kSize));
      EXPECT_EQ(static_cast<int64_t>(told[1]), used + static_cast<int64_t>(kRoundedUp(kSize)));
    } else {
      EXPECT_EQ(told[0], kSize);
      EXPECT_EQ(static_cast<int64_t>(told[1]), used);
    }
    EXPECT_EQ(static_cast<int64_t>(told[2]), limit);
    EXPECT_EQ(memoryFullEvents.calls, 0);
  }
}

TEST_F(CoreRecovery, RequestThatFailsThroughoutRunsTheWholeSequence) {
  struct Case {
    char const* name;
    bool overallocation;
    size_t size;
    int overallocationsTold;
  };
  // Refused by the budget throughout; or admitted past it but refused by the system.
  for (Case const c : {Case{"budget", false, 100, 0}, Case{"system", true, kNeverAvailable, 513}}) {
    SCOPED_TRACE(c.name);
    Record(c.overallocation);
    TightenLimit();
    Counters const before = Now();
    void* const block = mmgr_malloc(c.size);
    Counters const after = Now();
    RestorePolicy();
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(after, before);
    EXPECT_EQ(collections.calls, 517);
    EXPECT_EQ(collections.allBitsSet, 515);
    ExpectEscalation(c.size);
    EXPECT_EQ(overallocations.calls, c.overallocationsTold);
    ASSERT_EQ(memoryFullEvents.calls, 1);
    EXPECT_EQ(memoryFullEvents.args[0][0], c.size);
  }
}

TEST_F(CoreRecovery, HookThatFreesEnoughOnItsFirstCallIsCalledOnce) {
  ballast = mmgr_malloc(64 * 1024);
  ASSERT_NE(ballast.load(), nullptr);
  Record(false);
  GTMC_GarbageCollect = FreeBallastOnce;
  SetHeadroom(1024);
  void* const block = mmgr_malloc(16 * 1024);
  RestorePolicy();
  EXPECT_NE(block, nullptr);
  EXPECT_EQ(collections.calls, 1);
  EXPECT_EQ(collections.args[0][0], 16u * 1024);
  EXPECT_EQ(overallocations.calls, 0);
  EXPECT_EQ(memoryFullEvents.calls, 0);
  mmgr_free(block);
}

TEST_F(CoreRecovery, MissingOrRemovedHookAndMissingHandlerAreSkipped) {
  enum Hook { kNoHook, kRecording, kRemovesItself };
  enum Handler { kRecordingHandler, kNullStored, kNullSet };
  struct Case {
    char const* name;
    Hook hook;
    Handler handler;
    int collectionsMade;
  };
  for (Case const c : {Case{"no hook", kNoHook, kRecordingHandler, 0},
                       Case{"hook removes itself", kRemovesItself, kRecordingHandler, 1},
                       Case{"null handler stored", kRecording, kNullStored, 517},
                       Case{"null handler set", kRecording, kNullSet, 517},
                       Case{"neither", kNoHook, kNullSet, 0}}) {
    SCOPED_TRACE(c.name);
    Record(false);
    if (c.handler == kNullStored) GTMC_MemoryFull = nullptr;
    if (c.handler == kNullSet) Set_GTMC_MemoryFull(nullptr);
    if (c.hook == kNoHook) GTMC_GarbageCollect = nullptr;
    if (c.hook == kRemovesItself) GTMC_GarbageCollect = RemoveSelf;
    TightenLimit();
    void* const block = mmgr_malloc(100);
    RestorePolicy();
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(collections.calls, c.collectionsMade);
    EXPECT_EQ(memoryFullEvents.calls, c.handler == kRecordingHandler ? 1 : 0);
    EXPECT_TRUE(GTMC_IsMemoryFull());
  }
}

TEST_F(CoreRecovery, HandlerIsMarkedFiredBeforeItRuns) {
  nestedResult = reinterpret_cast<void*>(1);
  Record(false);
  Set_GTMC_MemoryFull(AllocateInHandler);
  TightenLimit();
  void* const block = mmgr_malloc(100);
  RestorePolicy();
  EXPECT_EQ(block, nullptr);
  EXPECT_EQ(nestedResult.load(), nullptr);
  ASSERT_EQ(memoryFullEvents.calls, 1);
  EXPECT_EQ(memoryFullEvents.args[0][0], 100u);
  // The nested request ran its whole sequence too, skipping only the handler.
  EXPECT_EQ(collections.calls, 2 * 517);
}

// ---- Resizes ---------------------------------------------------------------------------

using CoreResize = CoreTest;

TEST_F(CoreResize, ZeroSizeReleasesUnlessTheRestIsStillOverTheLimit) {
  Counters before = Now();
  EXPECT_EQ(mmgr_realloc(nullptr, 0), nullptr);
  EXPECT_EQ(Now(), before);

  void* block = mmgr_malloc(100);
  ASSERT_NE(block, nullptr);
  int64_t const usable = Usable(block);
  before = Now();
  EXPECT_EQ(mmgr_realloc(block, 0), nullptr);
  Counters after = Now();
  EXPECT_EQ(before.used - after.used, usable);
  EXPECT_EQ(before.thread - after.thread, usable);

  block = mmgr_malloc(100);
  ASSERT_NE(block, nullptr);
  std::memset(block, 0x33, 100);
  Record(true);
  SetHeadroom(-4096);
  before = Now();
  void* const result = mmgr_realloc(block, 0);
  after = Now();
  RestorePolicy();
  EXPECT_EQ(result, nullptr);
  EXPECT_EQ(after, before);
  EXPECT_EQ(static_cast<unsigned char*>(block)[99], 0x33);
  EXPECT_EQ(collections.calls, 0);
  EXPECT_EQ(overallocations.calls, 0);
  int64_t const held = Usable(block);
  before = Now();
  mmgr_free(block);
  EXPECT_EQ(before.used - Now().used, held);
}

TEST_F(CoreResize, OverLimitShrinkTellsTheCallbackANegativeGrowth) {
  void* const block = mmgr_malloc(4000);
  ASSERT_NE(block, nullptr);
  int64_t const old = Usable(block);
  Record(true);
  SetHeadroom(-8192);
  int64_t const used = GTMC_GetTotalUsedMemory();
  int64_t const limit = Limit();
  void* const resized = mmgr_realloc(block, 100);
  Counters const after = Now();
  RestorePolicy();
  ASSERT_NE(resized, nullptr);
  EXPECT_EQ(after.used - used, Usable(resized) - old);
  int64_t const growth = static_cast<int64_t>(kRoundedUp(100)) - old;
  ASSERT_EQ(overallocations.calls, 1);
  EXPECT_EQ(overallocations.args[0][0], static_cast<size_t>(growth));
  EXPECT_EQ(static_cast<int64_t>(overallocations.args[0][1]), used + growth);
  EXPECT_EQ(static_cast<int64_t>(overallocations.args[0][2]), limit);
  // The hook hears of the full request, never the growth.
  EXPECT_EQ(collections.calls, 3);
  ExpectEscalation(100);
  mmgr_free(resized);
}

TEST_F(CoreResize, FailedResizeKeepsTheOldBlockValidAndAccounted) {
  auto* const block = static_cast<unsigned char*>(mmgr_malloc(100));
  ASSERT_NE(block, nullptr);
  std::memset(block, 0x77, 100);
  int64_t const old = Usable(block);
  Record(true);
  Counters const before = Now();
  void* const resized = mmgr_realloc(block, kNeverAvailable);
  Counters const after = Now();
  RestorePolicy();
  EXPECT_EQ(resized, nullptr);
  EXPECT_EQ(after, before);
  EXPECT_EQ(block[0], 0x77);
  EXPECT_EQ(block[99], 0x77);
  EXPECT_EQ(collections.calls, 517);
  ExpectEscalation(kNeverAvailable);
  ASSERT_EQ(memoryFullEvents.calls, 1);
  EXPECT_EQ(memoryFullEvents.args[0][0], kNeverAvailable);
  ASSERT_EQ(overallocations.calls, 513);
  EXPECT_EQ(overallocations.args[0][0], kNeverAvailable - static_cast<size_t>(old));
  Counters const held = Now();
  mmgr_free(block);
  EXPECT_EQ(held.used - Now().used, old);
}

// ---- The default memory-full handler ends the process ----------------------------------

using CoreDefaultHandler = CoreTest;

TEST_F(CoreDefaultHandler, EndsTheProcessWithStatusOne) {
  // Refused by the budget with over-allocation off.
  EXPECT_EXIT(
      {
        Set_GTMC_MemoryFull(kHandlerAtLoad);
        GMM_EnableOverallocation(false);
        GTMC_SetMemoryAllocationRules(0);
        mmgr_malloc(64);
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(1), "");
  // SIZE_MAX rounds to 0, passes the budget and is refused by the system allocator.
  EXPECT_EXIT(
      {
        Set_GTMC_MemoryFull(kHandlerAtLoad);
        mmgr_malloc(SIZE_MAX);
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(1), "");
}

}  // namespace
