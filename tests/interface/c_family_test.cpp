// mmgr_calloc, mmgr_aligned_alloc, the strings and the size calls: the budget each applies,
// the alignment each promises, and what a null or empty request gives.
#include <cstring>
#include <cwchar>
#include <utility>

#include "hook_trace.h"

namespace {

using CFamilyTest = BudgetTest;
using E = HookTrace::Event;

bool IsAligned(void const* block, size_t alignment) {
  return reinterpret_cast<uintptr_t>(block) % alignment == 0;
}

char text[128];
wchar_t wide[32];

// Every C-family way of allocating a new accounted block of `n` bytes (a multiple of 4), with
// the alignment it promises. Alignments other than powers of two above 16 (0, 3 and 48 would
// make posix_memalign fail) must take the plain malloc road.
struct Allocator {
  char const* name;
  void* (*allocate)(size_t);
  size_t alignment;
};
Allocator const kAllocators[] = {
    {"malloc", [](size_t n) { return mmgr_malloc(n); }, 16},
    {"calloc", [](size_t n) { return mmgr_calloc(n / 4, 4); }, 16},
    {"aligned 32", [](size_t n) { return mmgr_aligned_alloc(32, n); }, 32},
    {"aligned 4096", [](size_t n) { return mmgr_aligned_alloc(4096, n); }, 4096},
    {"aligned 65536", [](size_t n) { return mmgr_aligned_alloc(65536, n); }, 65536},
    {"aligned 0", [](size_t n) { return mmgr_aligned_alloc(0, n); }, 16},
    {"aligned 3", [](size_t n) { return mmgr_aligned_alloc(3, n); }, 16},
    {"aligned 8", [](size_t n) { return mmgr_aligned_alloc(8, n); }, 16},
    {"aligned 48", [](size_t n) { return mmgr_aligned_alloc(48, n); }, 16},
    // A copy asks for its length with the terminator, four bytes per wide character.
    {"strdup",
     [](size_t n) {
       std::memset(text, 's', n - 1);
       text[n - 1] = '\0';
       return static_cast<void*>(FF_strdup(text));
     },
     16},
    {"wcsdup",
     [](size_t n) {
       std::wmemset(wide, L'w', n / 4 - 1);
       wide[n / 4 - 1] = L'\0';
       return static_cast<void*>(FF_wcsdup(wide));
     },
     16},
};

TEST_F(CFamilyTest, EveryAllocatorTestsTheBudgetOnTheRoundedSizeAndAligns) {
  for (Allocator const& a : kAllocators) {
    SCOPED_TRACE(a.name);
    // Exactly the rounded request left: fits at the first attempt, no hook called.
    HookTrace::Install();
    GMM_EnableOverallocation(false);
    SetHeadroom(112);
    Counters const before = Counters::Now();
    void* const fits = a.allocate(100);
    Counters const allocated = Counters::Now() - before;
    RestorePolicy();
    ASSERT_NE(fits, nullptr);
    EXPECT_EQ(HookTrace::Count(), 0);
    EXPECT_TRUE(IsAligned(fits, a.alignment));
    EXPECT_GE(Usable(fits), 100);
    EXPECT_EQ(allocated, Delta(Usable(fits)));
    mmgr_aligned_free(fits);
    EXPECT_EQ(Counters::Now(), before);

    // One byte short: the whole recovery sequence runs and fails.
    HookTrace::Install();
    GMM_EnableOverallocation(false);
    SetHeadroom(111);
    void* const refused = a.allocate(100);
    RestorePolicy();
    EXPECT_EQ(refused, nullptr);
    EXPECT_EQ(HookTrace::Events(7), FailedRecoveryStart(100));
    EXPECT_EQ(HookTrace::Count(), kFailedRecoveryCalls);

    // Over the limit with over-allocation on, recovery hands back a block as aligned as ever.
    HookTrace::Install();
    SetHeadroom(0);
    int64_t const used = GTMC_GetTotalUsedMemory();
    int64_t const limit = GTMC_GetTotalMemory();
    void* const over = a.allocate(100);
    RestorePolicy();
    ASSERT_NE(over, nullptr);
    EXPECT_TRUE(IsAligned(over, a.alignment));
    EXPECT_EQ(HookTrace::Events(), (std::vector<E>{{kCollect, 100},
                                                    {kCollect, 150},
                                                    {kCollect, SIZE_MAX},
                                                    {kOverallocation, 100, used, limit}}));
    mmgr_free(over);
  }
}

// Over the limit (here even with over-allocation on) an empty request is refused at once.
TEST_F(CFamilyTest, EmptyRequestOverTheLimitIsRefusedWithoutRecovery) {
  HookTrace::Install();
  GTMC_SetMemoryAllocationRules(-1);  // all bits set: even the total alone is over it
  Counters const before = Counters::Now();
  void* const results[] = {mmgr_malloc(0), mmgr_calloc(0, 8), mmgr_calloc(8, 0),
                           mmgr_aligned_alloc(64, 0), mmgr_aligned_alloc(0, 0)};
  Counters const after = Counters::Now();
  RestorePolicy();
  for (void* const result : results) EXPECT_EQ(result, nullptr);
  EXPECT_EQ(after, before);
  EXPECT_EQ(HookTrace::Count(), 0);
}

TEST_F(CFamilyTest, NullArgumentsAllocateNothing) {
  HookTrace::Install();
  Counters const before = Counters::Now();
  void* const copies[] = {FF_strdup(nullptr), FF_wcsdup(nullptr)};
  mmgr_free(nullptr);
  mmgr_aligned_free(nullptr);
  size_t const usable = mmgr_malloc_usable_size(nullptr);
  Counters const after = Counters::Now();
  RestorePolicy();
  EXPECT_EQ(copies[0], nullptr);
  EXPECT_EQ(copies[1], nullptr);
  EXPECT_EQ(usable, 0u);
  EXPECT_EQ(after, before);
  EXPECT_EQ(HookTrace::Count(), 0);
}

TEST_F(CFamilyTest, CallocZeroesTheProductOrAllocatesNothingWhenItOverflows) {
  using Product = std::pair<size_t, size_t>;
  for (auto const& [count, size] : {Product{10, 24}, Product{1, 300000}}) {
    // Dirty a block of that size first, so a recycled chunk would show stale bytes.
    void* const dirty = mmgr_malloc(count * size);
    std::memset(dirty, 0xA5, count * size);
    mmgr_free(dirty);
    auto* const block = static_cast<unsigned char*>(mmgr_calloc(count, size));
    ASSERT_NE(block, nullptr);
    EXPECT_TRUE(std::all_of(block, block + count * size, [](unsigned char b) { return b == 0; }));
    mmgr_free(block);
  }
  HookTrace::Install();
  Counters const before = Counters::Now();
  void* const overflows[] = {mmgr_calloc(SIZE_MAX, 2), mmgr_calloc(2, SIZE_MAX / 2 + 1),
                             mmgr_calloc(size_t{1} << 32, size_t{1} << 32)};
  Counters const after = Counters::Now();
  RestorePolicy();
  for (void* const block : overflows) EXPECT_EQ(block, nullptr);
  EXPECT_EQ(after, before);
  EXPECT_EQ(HookTrace::Count(), 0);
}

TEST(CFamilySizes, GoodSizeRoundsUpToSixteenModuloTwoToThe64) {
  using Case = std::pair<size_t, size_t>;
  for (auto const& [size, good] : {Case{0, 0}, Case{1, 16}, Case{16, 16}, Case{17, 32},
                                  Case{SIZE_MAX - 15, SIZE_MAX - 15}, Case{SIZE_MAX - 14, 0}}) {
    EXPECT_EQ(mmgr_malloc_good_size(size), good) << size;
  }
}

}  // namespace
