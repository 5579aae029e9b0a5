// mmgr_calloc, mmgr_aligned_alloc and the small size and maintenance calls.
#include <malloc.h>

#include <cstring>
#include <new>

#include "interface_support.h"

namespace {

using CFamilyTest = BudgetTest;

bool AllBytesAre(void const* block, size_t size, unsigned char value) {
  auto const* bytes = static_cast<unsigned char const*>(block);
  for (size_t i = 0; i < size; ++i) {
    if (bytes[i] != value) return false;
  }
  return true;
}

bool IsAligned(void const* block, size_t alignment) {
  return reinterpret_cast<uintptr_t>(block) % alignment == 0;
}

TEST_F(CFamilyTest, CallocZeroesAndAccountsTheUsableSize) {
  struct Case { size_t count, size; };
  for (Case const c : {Case{1, 1}, Case{10, 24}, Case{4096, 1}, Case{3, 1000}, Case{1, 300000}}) {
    size_t const total = c.count * c.size;
    // Dirty a block of that size first, so a recycled chunk would show stale bytes.
    void* const dirty = mmgr_malloc(total);
    std::memset(dirty, 0xA5, total);
    mmgr_free(dirty);

    Counters const before = Counters::Now();
    void* const block = mmgr_calloc(c.count, c.size);
    Counters const allocated = Counters::Now() - before;
    ASSERT_NE(block, nullptr) << c.count << " x " << c.size;
    EXPECT_TRUE(AllBytesAre(block, total, 0)) << c.count << " x " << c.size;
    int64_t const usable = Usable(block);
    EXPECT_GE(usable, static_cast<int64_t>(total));
    EXPECT_EQ(allocated, Delta(usable));
    mmgr_free(block);
    EXPECT_EQ(Counters::Now(), before);
  }
}

TEST_F(CFamilyTest, CallocOfNothingIsMallocOfNothing) {
  Counters const before = Counters::Now();
  void* const viaMalloc = mmgr_malloc(0);
  void* const viaCalloc = mmgr_calloc(0, 8);
  Counters const allocated = Counters::Now() - before;
  ASSERT_NE(viaMalloc, nullptr);
  ASSERT_NE(viaCalloc, nullptr);
  EXPECT_EQ(Usable(viaCalloc), Usable(viaMalloc));
  EXPECT_EQ(allocated, Delta(Usable(viaMalloc) + Usable(viaCalloc)));
  mmgr_free(viaMalloc);
  mmgr_free(viaCalloc);

  // Over the limit an empty request is refused at once, with no hook called.
  void* const refusedZeroCount = RunRefused([] { return mmgr_calloc(0, 8); });
  void* const refusedZeroSize = mmgr_calloc(8, 0);
  int const calls = HookTrace::Count();
  RestorePolicy();
  EXPECT_EQ(refusedZeroCount, nullptr);
  EXPECT_EQ(refusedZeroSize, nullptr);
  EXPECT_EQ(calls, 0);
}

TEST_F(CFamilyTest, CallocWithOverflowingProductAllocatesNothing) {
  struct Case { size_t count, size; };
  for (Case const c : {Case{SIZE_MAX, 2}, Case{2, SIZE_MAX / 2 + 1}, Case{size_t{1} << 32, size_t{1} << 32},
                       Case{SIZE_MAX, SIZE_MAX}}) {
    HookTrace::Install();
    Counters const before = Counters::Now();
    void* const block = mmgr_calloc(c.count, c.size);
    Counters const after = Counters::Now();
    int const calls = HookTrace::Count();
    RestorePolicy();
    EXPECT_EQ(block, nullptr) << c.count << " x " << c.size;
    EXPECT_EQ(after, before);
    EXPECT_EQ(calls, 0) << "no recovery for a product that does not fit";
  }
}

TEST_F(CFamilyTest, RefusedCallocRecoversWithTheProduct) {
  void* const block = RunRefused([] { return mmgr_calloc(4, 25); });
  int const calls = HookTrace::Count();
  RestorePolicy();
  EXPECT_EQ(block, nullptr);
  EXPECT_EQ(HookTrace::Events(7), FailedRecoveryStart(100));
  EXPECT_EQ(calls, kFailedRecoveryCalls);
}

// Every way of allocating a new accounted block by size, with the alignment it promises.
// Alignments that are not powers of two above 16 (0, 3 and 48 would make posix_memalign
// fail) must take the plain malloc road.
struct Allocator {
  char const* name;
  void* (*allocate)(size_t);
  size_t alignment;
};
Allocator const kAllocators[] = {
    {"mmgr_malloc", [](size_t n) { return mmgr_malloc(n); }, 16},
    {"aligned 32", [](size_t n) { return mmgr_aligned_alloc(32, n); }, 32},
    {"aligned 64", [](size_t n) { return mmgr_aligned_alloc(64, n); }, 64},
    {"aligned 4096", [](size_t n) { return mmgr_aligned_alloc(4096, n); }, 4096},
    {"aligned 0", [](size_t n) { return mmgr_aligned_alloc(0, n); }, 16},
    {"aligned 3", [](size_t n) { return mmgr_aligned_alloc(3, n); }, 16},
    {"aligned 8", [](size_t n) { return mmgr_aligned_alloc(8, n); }, 16},
    {"aligned 16", [](size_t n) { return mmgr_aligned_alloc(16, n); }, 16},
    {"aligned 48", [](size_t n) { return mmgr_aligned_alloc(48, n); }, 16},
};

TEST_F(CFamilyTest, AlignedAllocAlignsAndAccountsTheUsableSize) {
  using Release = void (*)(void*);
  Release const releases[] = {[](void* p) { mmgr_free(p); }, [](void* p) { mmgr_aligned_free(p); },
                              [](void* p) { ::operator delete(p); }};
  int round = 0;
  for (size_t const alignment : {32, 64, 256, 4096, 65536}) {
    for (size_t const size : {1, 100, 5000, 300000}) {
      Counters const before = Counters::Now();
      void* const block = mmgr_aligned_alloc(alignment, size);
      Counters const allocated = Counters::Now() - before;
      ASSERT_NE(block, nullptr) << alignment << "/" << size;
      EXPECT_TRUE(IsAligned(block, alignment)) << alignment << "/" << size;
      int64_t const usable = Usable(block);
      EXPECT_GE(usable, static_cast<int64_t>(size));
      std::memset(block, 0x5A, static_cast<size_t>(usable));
      EXPECT_EQ(allocated, Delta(usable)) << alignment << "/" << size;
      releases[round++ % 3](block);
      EXPECT_EQ(Counters::Now(), before) << alignment << "/" << size;
    }
  }
}

TEST_F(CFamilyTest, AlignedBlockResizesWithRealloc) {
  Counters const before = Counters::Now();
  auto* const block = static_cast<unsigned char*>(mmgr_aligned_alloc(4096, 100));
  ASSERT_NE(block, nullptr);
  std::memset(block, 0x3C, 100);
  auto* const grown = static_cast<unsigned char*>(mmgr_realloc(block, 100000));
  Counters const allocated = Counters::Now() - before;
  ASSERT_NE(grown, nullptr);
  EXPECT_TRUE(AllBytesAre(grown, 100, 0x3C));
  EXPECT_EQ(allocated, Delta(Usable(grown)));
  EXPECT_EQ(mmgr_realloc(grown, 0), nullptr);
  EXPECT_EQ(Counters::Now(), before);
}

TEST_F(CFamilyTest, EveryAllocatorTestsTheBudgetOnTheRoundedSize) {
  for (Allocator const& a : kAllocators) {
    // Exactly the rounded request left: fits at the first attempt, no hook called.
    HookTrace::Install();
    GMM_EnableOverallocation(false);
    SetHeadroom(112);
    Counters const before = Counters::Now();
    void* const fits = a.allocate(100);
    Counters const allocated = Counters::Now() - before;
    int const fitCalls = HookTrace::Count();
    RestorePolicy();
    ASSERT_NE(fits, nullptr) << a.name;
    EXPECT_EQ(fitCalls, 0) << a.name;
    EXPECT_EQ(allocated, Delta(Usable(fits))) << a.name;
    mmgr_free(fits);

    // One byte short: the whole recovery sequence runs and fails.
    HookTrace::Install();
    GMM_EnableOverallocation(false);
    SetHeadroom(111);
    void* const refused = a.allocate(100);
    int const refusedCalls = HookTrace::Count();
    RestorePolicy();
    EXPECT_EQ(refused, nullptr) << a.name;
    EXPECT_EQ(HookTrace::Events(7), FailedRecoveryStart(100)) << a.name;
    EXPECT_EQ(refusedCalls, kFailedRecoveryCalls) << a.name;

    // An empty request over the limit is refused without any hook.
    void* const empty = RunRefused([&] { return a.allocate(0); });
    int const emptyCalls = HookTrace::Count();
    RestorePolicy();
    EXPECT_EQ(empty, nullptr) << a.name;
    EXPECT_EQ(emptyCalls, 0) << a.name;

    // Over the limit with over-allocation on, recovery hands back a block as aligned as ever.
    HookTrace::Install();
    SetHeadroom(0);
    void* const over = a.allocate(100);
    int const overCalls = HookTrace::Count();
    RestorePolicy();
    ASSERT_NE(over, nullptr) << a.name;
    EXPECT_TRUE(IsAligned(over, a.alignment)) << a.name;
    using E = HookTrace::Event;
    EXPECT_EQ(HookTrace::Events(), (std::vector<E>{{HookTrace::kCollect, 100},
                                                    {HookTrace::kCollect, 150},
                                                    {HookTrace::kCollect, SIZE_MAX},
                                                    {HookTrace::kOverallocation, 100}}))
        << a.name;
    EXPECT_EQ(overCalls, 4) << a.name;
    mmgr_free(over);
  }
}

TEST(CFamilySizes, GoodSizeRoundsUpToSixteenModuloTwoToThe64) {
  struct Case { size_t size, good; };
  for (Case const c : {Case{0, 0}, Case{1, 16}, Case{15, 16}, Case{16, 16}, Case{17, 32},
                       Case{1000, 1008}, Case{SIZE_MAX - 15, SIZE_MAX - 15},
                       Case{SIZE_MAX - 14, 0}, Case{SIZE_MAX, 0}}) {
    EXPECT_EQ(mmgr_malloc_good_size(c.size), c.good) << c.size;
  }
}

TEST(CFamilySizes, UsableSizeAndMaintenanceCalls) {
  EXPECT_EQ(mmgr_malloc_usable_size(nullptr), 0u);
  void* const block = mmgr_malloc(40);
  EXPECT_EQ(mmgr_malloc_usable_size(block), malloc_usable_size(block));
  EXPECT_GE(mmgr_malloc_usable_size(block), 40u);

  Counters const before = Counters::Now();
  int const trimmed = mmgr_trim_memory();
  mmgr_check_consistency();
  Counters const after = Counters::Now();
  EXPECT_EQ(trimmed, 0);
  EXPECT_EQ(after, before);
  mmgr_free(block);
}

}  // namespace
