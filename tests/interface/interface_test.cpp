// The C family beyond the core (calloc, aligned allocation, strings, sizes), the unaccounted
// builtin_* pass-through and the statistics, as a host calls them through include/memmgr.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <cwchar>
#include <string>
#include <utility>

#include "hook_trace.h"

namespace {

using InterfaceTest = BudgetTest;
using E = HookTrace::Event;

std::string const text99(99, 's');
std::wstring const wide24(24, L'w');

// Every C-family way of allocating a new accounted block of 100 bytes, with the alignment it
// promises. Alignments other than powers of two above 16 (0, 3 and 48 would make
// posix_memalign fail) must take the plain malloc road. A copy asks for its length with the
// terminator, four bytes per wide character.
struct Allocator {
  char const* name;
  void* (*allocate)();
  size_t alignment;
};
Allocator const kAllocators[] = {
    {"malloc", [] { return mmgr_malloc(100); }, 16},
    {"calloc", [] { return mmgr_calloc(25, 4); }, 16},
    {"aligned 32", [] { return mmgr_aligned_alloc(32, 100); }, 32},
    {"aligned 4096", [] { return mmgr_aligned_alloc(4096, 100); }, 4096},
    {"aligned 65536", [] { return mmgr_aligned_alloc(65536, 100); }, 65536},
    {"aligned 0", [] { return mmgr_aligned_alloc(0, 100); }, 16},
    {"aligned 3", [] { return mmgr_aligned_alloc(3, 100); }, 16},
    {"aligned 8", [] { return mmgr_aligned_alloc(8, 100); }, 16},
    {"aligned 48", [] { return mmgr_aligned_alloc(48, 100); }, 16},
    {"strdup", [] { return static_cast<void*>(FF_strdup(text99.c_str())); }, 16},
    {"wcsdup", [] { return static_cast<void*>(FF_wcsdup(wide24.c_str())); }, 16},
};

TEST_F(InterfaceTest, EveryAllocatorTestsTheBudgetOnTheRoundedSizeAndAligns) {
  for (Allocator const& a : kAllocators) {
    SCOPED_TRACE(a.name);
    // Exactly the rounded request left: fits at the first attempt, no hook called.
    HookTrace::Install();
    GMM_EnableOverallocation(false);
    SetHeadroom(112);
    Counters const before = Counters::Now();
    void* const fits = a.allocate();
    Counters const allocated = Counters::Now() - before;
    // One byte short: the whole recovery sequence runs and fails.
    int const fitCalls = HookTrace::Count();
    SetHeadroom(111);
    void* const refused = a.allocate();
    RestorePolicy();
    ASSERT_NE(fits, nullptr);
    EXPECT_EQ(fitCalls, 0);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(fits) % a.alignment, 0u);
    EXPECT_GE(Usable(fits), 100);
    EXPECT_EQ(allocated, Delta(Usable(fits)));
    mmgr_aligned_free(fits);
    EXPECT_EQ(Counters::Now(), before);
    EXPECT_EQ(refused, nullptr);
    EXPECT_EQ(HookTrace::Events(7), FailedRecoveryStart(100));
    EXPECT_EQ(HookTrace::Count(), kFailedRecoveryCalls);

    // Over the limit with over-allocation on, recovery hands back a block as aligned as ever.
    HookTrace::Install();
    SetHeadroom(0);
    int64_t const used = GTMC_GetTotalUsedMemory();
    int64_t const limit = GTMC_GetTotalMemory();
    void* const over = a.allocate();
    RestorePolicy();
    ASSERT_NE(over, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(over) % a.alignment, 0u);
    EXPECT_EQ(HookTrace::Events(), (std::vector<E>{{kCollect, 100}, {kCollect, 150},
                                                    {kCollect, SIZE_MAX},
                                                    {kOverallocation, 100, used, limit}}));
    mmgr_free(over);
  }
}

TEST_F(InterfaceTest, NullEmptyAndOverflowingRequestsAllocateNothingAndCallNoHook) {
  HookTrace::Install();
  Counters const before = Counters::Now();
  void* const results[] = {
      // A product that does not fit in size_t, and null strings, under the usual limit.
      mmgr_calloc(SIZE_MAX, 2), mmgr_calloc(2, SIZE_MAX / 2 + 1),
      mmgr_calloc(size_t{1} << 32, size_t{1} << 32), FF_strdup(nullptr), FF_wcsdup(nullptr),
      // Empty requests over a limit with all bits set, even with over-allocation on.
      (GTMC_SetMemoryAllocationRules(-1), mmgr_malloc(0)), mmgr_calloc(0, 8), mmgr_calloc(8, 0),
      mmgr_aligned_alloc(64, 0), mmgr_aligned_alloc(0, 0)};
  mmgr_free(nullptr);
  mmgr_aligned_free(nullptr);
  size_t const usable = mmgr_malloc_usable_size(nullptr);
  Counters const after = Counters::Now();
  RestorePolicy();
  for (void* const result : results) EXPECT_EQ(result, nullptr);
  EXPECT_EQ(usable, 0u);
  EXPECT_EQ(after, before);
  EXPECT_EQ(HookTrace::Count(), 0);
}

TEST_F(InterfaceTest, CallocZeroesTheWholeProduct) {
  // Dirty a block of that size first, so a recycled chunk would show stale bytes.
  mmgr_free(std::memset(mmgr_malloc(240), 0xA5, 240));
  auto* const block = static_cast<unsigned char*>(mmgr_calloc(10, 24));
  ASSERT_NE(block, nullptr);
  EXPECT_TRUE(std::all_of(block, block + 240, [](unsigned char b) { return b == 0; }));
  mmgr_free(block);
}

TEST(InterfaceSizes, GoodSizeRoundsUpToSixteenModuloTwoToThe64) {
  using Case = std::pair<size_t, size_t>;
  for (auto const& [size, good] : {Case{0, 0}, Case{1, 16}, Case{16, 16}, Case{17, 32},
                                   Case{SIZE_MAX - 15, SIZE_MAX - 15}, Case{SIZE_MAX - 14, 0}}) {
    EXPECT_EQ(mmgr_malloc_good_size(size), good) << size;
  }
}

// The table above covers the accounting of copies; this, their contents.
TEST(InterfaceStrings, CopiesCarryTheWholeTextAndTerminator) {
  for (std::string const& text : {std::string(), std::string("tab\tand\n"), text99}) {
    char* const copy = FF_strdup(text.c_str());
    EXPECT_TRUE(copy != text.c_str() && std::memcmp(copy, text.c_str(), text.size() + 1) == 0);
    mmgr_free(copy);
  }
  for (std::wstring const& text : {std::wstring(), std::wstring(L"gr\u00fc\u00dfe \U0001F600")}) {
    wchar_t* const copy = FF_wcsdup(text.c_str());
    EXPECT_EQ(std::wmemcmp(copy, text.c_str(), text.size() + 1), 0);
    mmgr_free(copy);
  }
}

TEST_F(InterfaceTest, PassthroughWorksOutsideTheBudgetAndTheCounters) {
  // The limit is below the bytes in use and nothing may over-allocate or recover: only an
  // unaccounted road can succeed.
  Counters const before = Counters::Now();
  auto* const plain = static_cast<unsigned char*>(RunRefused([] { return builtin_malloc(1000); }));
  auto* const zeroed = static_cast<unsigned char*>(builtin_calloc(100, 10));
  if (plain != nullptr) std::memset(plain, 0x77, 1000);
  auto* const grown = static_cast<unsigned char*>(builtin_realloc(plain, 200000));
  bool const ok = zeroed && zeroed[999] == 0 && grown && grown[0] == 0x77 && grown[999] == 0x77;
  Counters const live = Counters::Now();
  builtin_free(zeroed);
  builtin_free(grown);
  Counters const after = Counters::Now();
  RestorePolicy();
  EXPECT_TRUE(ok);
  EXPECT_EQ(live, before);
  EXPECT_EQ(after, before);
  EXPECT_EQ(HookTrace::Count(), 0);
}

// Releasing a block of the unaccounted family through the accounted one is the misuse that
// drives the total below zero; the per-thread count alone shows it.
TEST_F(InterfaceTest, TotalBelowZeroReadsAsNothingInUse) {
  constexpr size_t kSize = size_t{32} << 20;
  int64_t const thread = GTMC_GetAllocationSizeInCurrentThread();
  void* const foreign = builtin_malloc(kSize);
  int64_t const usable = Usable(foreign);
  ASSERT_GT(usable, GTMC_GetTotalUsedMemory());
  mmgr_free(foreign);
  int64_t const used = GTMC_GetTotalUsedMemory();
  int64_t const freeBytes = GTMC_GetFreeMemory();
  int64_t const threadBelow = GTMC_GetAllocationSizeInCurrentThread();
  void* const balance = mmgr_malloc(kSize);  // puts the same usable size back
  int64_t const restored = Usable(balance);
  builtin_free(balance);
  EXPECT_EQ(used, 0);
  EXPECT_EQ(freeBytes, GTMC_GetTotalMemory());
  EXPECT_EQ(threadBelow, thread - usable);
  EXPECT_EQ(restored, usable);
}

TEST(OSUsedMemory, GrowsWithTouchedMemory) {
  constexpr int64_t kTouched = int64_t{64} << 20;
  int64_t const before = GTMC_GetOSUsedMemory();
  auto* const block = static_cast<char*>(builtin_malloc(kTouched));
  ASSERT_NE(block, nullptr);
  std::memset(block, 1, kTouched);
  int64_t const after = GTMC_GetOSUsedMemory();
  builtin_free(block);
  EXPECT_GT(before, 0);
  EXPECT_GE(after - before, kTouched * 7 / 8);
  EXPECT_LE(after - before, kTouched * 2);
}

TEST(OSUsedMemory, ZeroWhenStatmCannotBeRead) {
  if (geteuid() != 0) GTEST_SKIP() << "chroot needs root";
  char directory[] = "/tmp/memmgr_statm_XXXXXX";
  ASSERT_NE(mkdtemp(directory), nullptr);
  pid_t const child = fork();
  if (child == 0) {
    // An empty root has no /proc.
    if (chroot(directory) != 0 || chdir("/") != 0) _exit(77);
    _exit(GTMC_GetOSUsedMemory() == 0 ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  rmdir(directory);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "chroot refused";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "statm unreadable must read as 0";
}

}  // namespace
