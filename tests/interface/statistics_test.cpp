// The statistics queries as a host reads them.
#include <pthread.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "interface_support.h"

namespace {

using StatisticsTest = BudgetTest;

TEST_F(StatisticsTest, OverAllocationClampsFreeAndShowsTheTrueTotal) {
  GTMC_GarbageCollect = nullptr;
  GMM_SetOnOverallocation(nullptr);
  SetHeadroom(0);
  int64_t const usedBefore = GTMC_GetTotalUsedMemory();
  void* const block = mmgr_malloc(1 << 20);
  int64_t const used = GTMC_GetTotalUsedMemory();
  int64_t const freeBytes = GTMC_GetFreeMemory();
  int64_t const limit = GTMC_GetTotalMemory();
  int64_t const usable = Usable(block);
  mmgr_free(block);
  RestorePolicy();
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(used, usedBefore + usable);
  EXPECT_GT(used, limit);
  EXPECT_EQ(freeBytes, 0);
}

TEST_F(StatisticsTest, FreeIsTheLimitMinusTheBytesInUse) {
  for (int64_t const headroom : {int64_t{0}, int64_t{1}, int64_t{4096}, int64_t{1} << 40}) {
    SetHeadroom(headroom);
    int64_t const used = GTMC_GetTotalUsedMemory();
    int64_t const freeBytes = GTMC_GetFreeMemory();
    int64_t const limit = GTMC_GetTotalMemory();
    RestorePolicy();
    EXPECT_EQ(freeBytes, limit - used) << headroom;
    EXPECT_EQ(freeBytes, headroom);
  }
}

TEST_F(StatisticsTest, TheThreeTotalsReturnTheLimitAsHeld) {
  struct Row {
    int64_t limit;
    int64_t total = 0, useable = 0, approximation = 0, rules = 0, freeBytes = 0;
  };
  Row rows[] = {{0}, {4096}, {12345}, {int64_t{64} << 20}, {INT64_MAX}, {INT64_MIN}, {-1}};
  for (Row& row : rows) {
    int64_t reserved = -1;
    GTMC_SetMemoryAllocationRules(row.limit);
    row.total = GTMC_GetTotalMemory();
    row.useable = GTMC_GetTotalUseableMemory();
    row.approximation = GTMC_GetTotalUseableMemoryApproximation();
    GTMC_GetMemoryAllocationRules(&row.rules, &reserved);
    row.freeBytes = GTMC_GetFreeMemory();
  }
  RestorePolicy();
  for (Row const& row : rows) {
    EXPECT_EQ(row.total, row.limit);
    EXPECT_EQ(row.useable, row.limit);
    EXPECT_EQ(row.approximation, row.limit);
    EXPECT_EQ(row.rules, row.limit);
  }
  EXPECT_EQ(rows[0].freeBytes, 0) << "limit 0, bytes in use";
  EXPECT_EQ(rows[6].freeBytes, 0) << "all bits set reads as -1";
  EXPECT_GT(rows[4].freeBytes, 0);
}

// A raw POSIX thread: std::thread would leave its own accounted state object between the two
// threads' books.
TEST_F(StatisticsTest, ReleasingThreadSeesItsOwnCountFall) {
  struct Release {
    void* block;
    int64_t before = 1, after = 0;
  };
  Counters const before = Counters::Now();
  Release release{mmgr_malloc(3000)};
  int64_t const usable = Usable(release.block);
  Counters const allocated = Counters::Now() - before;

  pthread_t releaser;
  ASSERT_EQ(pthread_create(&releaser, nullptr,
                           [](void* argument) -> void* {
                             auto* const r = static_cast<Release*>(argument);
                             r->before = GTMC_GetAllocationSizeInCurrentThread();
                             mmgr_free(r->block);
                             r->after = GTMC_GetAllocationSizeInCurrentThread();
                             return nullptr;
                           },
                           &release),
            0);
  ASSERT_EQ(pthread_join(releaser, nullptr), 0);
  Counters const afterJoin = Counters::Now() - before;

  EXPECT_EQ(allocated, Delta(usable));
  EXPECT_EQ(release.before, 0);
  EXPECT_EQ(release.after, -usable) << "below zero: releasing is all that thread did";
  // The total fell; the allocating thread's own count did not.
  EXPECT_EQ(afterJoin, (Counters{0, usable}));
}

TEST_F(StatisticsTest, MemoryFullStaysSetOnceFired) {
  void* const block = RunRefused([] { return mmgr_malloc(64); });
  bool const full = GTMC_IsMemoryFull();
  RestorePolicy();  // re-installs the saved handler, re-arming it
  EXPECT_EQ(block, nullptr);
  EXPECT_TRUE(full);
  EXPECT_TRUE(GTMC_IsMemoryFull());
  Set_GTMC_MemoryFull(nullptr);
  EXPECT_TRUE(GTMC_IsMemoryFull());
}

TEST_F(StatisticsTest, AlloclessBlockChangesNothing) {
  int64_t const limit = GTMC_GetTotalMemory();
  Counters const before = Counters::Now();
  GTMC_BeginAlloclessBlock();
  void* const block = mmgr_malloc(100);
  GTMC_EndAlloclessBlock();
  Counters const allocated = Counters::Now() - before;
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(allocated, Delta(Usable(block)));
  EXPECT_EQ(GTMC_GetTotalMemory(), limit);
  mmgr_free(block);
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
