// SPDX-License-Identifier: Apache-2.0
// What the entry-point table cannot say: the bytes that calloc and the copies hand back, the
// sizes, the unaccounted builtin_* pass-through and the statistics of the operating system.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <cwchar>
#include <string>

#include "memmgr_test.h"

namespace {

using InterfaceTest = BudgetTest;

TEST_F(InterfaceTest, CallocZeroesTheWholeProduct) {
  // Dirty a block of that size first, so a recycled chunk would show stale bytes.
  mmgr_free(std::memset(mmgr_malloc(240), 0xA5, 240));
  auto* const block = static_cast<unsigned char*>(mmgr_calloc(10, 24));
  ASSERT_NE(block, nullptr);
  EXPECT_TRUE(std::all_of(block, block + 240, [](unsigned char b) { return b == 0; }));
  mmgr_free(block);
}

TEST(InterfaceSizes, GoodSizeRoundsUpToSixteenModuloTwoToThe64AndNoOpsDoNothing) {
  EXPECT_EQ(mmgr_malloc_good_size(0), 0u);
  EXPECT_EQ(mmgr_malloc_good_size(1), 16u);
  EXPECT_EQ(mmgr_malloc_good_size(16), 16u);
  EXPECT_EQ(mmgr_malloc_good_size(17), 32u);
  EXPECT_EQ(mmgr_malloc_good_size(SIZE_MAX - 15), SIZE_MAX - 15);
  EXPECT_EQ(mmgr_malloc_good_size(SIZE_MAX - 14), 0u);
  Counters const before = Counters::Now();
  mmgr_check_consistency();
  GTMC_BeginAlloclessBlock();
  GTMC_EndAlloclessBlock();
  EXPECT_EQ(mmgr_trim_memory() + mmgr_malloc_usable_size(nullptr), 0u);
  EXPECT_EQ(Counters::Now(), before);
}

TEST(InterfaceStrings, CopiesCarryTheWholeTextAndTerminator) {
  for (std::string const& text : {std::string(), std::string("tab\tand\n"), std::string(99, 's')}) {
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
  HookTrace::Install();
  GMM_EnableOverallocation(false);
  SetHeadroom(-1);
  auto* const plain = static_cast<unsigned char*>(builtin_malloc(1000));
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
  // In a child: an empty root has no /proc.
  EXPECT_EXIT(std::_Exit(chroot(directory) == 0 && GTMC_GetOSUsedMemory() == 0 ? 0 : 1),
              testing::ExitedWithCode(0), "");
  rmdir(directory);
}

}  // namespace
