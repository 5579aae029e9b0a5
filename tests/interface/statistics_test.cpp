// The statistics queries as a host reads them.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "hook_trace.h"

namespace {

using StatisticsTest = BudgetTest;

TEST_F(StatisticsTest, OverAllocationShowsTheTrueTotalAndNoFreeMemory) {
  GTMC_GarbageCollect = nullptr;
  SetHeadroom(0);
  int64_t const usedBefore = GTMC_GetTotalUsedMemory();
  void* const block = mmgr_malloc(1 << 20);
  int64_t const used = GTMC_GetTotalUsedMemory();
  int64_t const freeBytes = GTMC_GetFreeMemory();
  int64_t const usable = Usable(block);
  mmgr_free(block);
  RestorePolicy();
  EXPECT_EQ(used, usedBefore + usable);
  EXPECT_EQ(freeBytes, 0);
}

// Releasing a block of the unaccounted family through the accounted one is the misuse that
// drives the total below zero; the per-thread count alone shows it.
TEST_F(StatisticsTest, TotalBelowZeroReadsAsNothingInUse) {
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
  ASSERT_NE(child, -1);
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
