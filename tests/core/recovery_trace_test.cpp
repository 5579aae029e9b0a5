// The recovery sequence written out by hand, call by call, for requests over the limit with a
// garbage-collect hook that frees nothing. The budget model that the entry-point table and the
// fuzzer check against follows the implementation step by step; these traces hold both to the
// order the header documents.
#include "memmgr_test.h"

namespace {

using Event = HookTrace::Event;
constexpr size_t kAll = SIZE_MAX;  // the hook asked to free all it can
Event Collect(size_t amount) { return {kCollect, amount}; }
Event MemoryFull(size_t request) { return {kMemoryFull, request}; }
Event Overallocation(size_t told, int64_t total, int64_t limit) {
  return {kOverallocation, told, total, limit};
}

using RecoveryTrace = BudgetTest;

// Three collections, then the block over the limit, told with the request, the total before
// it and the limit.
TEST_F(RecoveryTrace, NewBlockOverTheLimitIsOverAllocatedAfterThreeCollections) {
  HookTrace::Install();
  GMM_EnableOverallocation(true);
  SetHeadroom(0);
  int64_t const total = GTMC_GetTotalUsedMemory(), limit = GTMC_GetTotalMemory();
  void* const block = mmgr_malloc(100);
  RestorePolicy();
  std::vector<Event> const expected = {Collect(100), Collect(150), Collect(kAll),
                                       Overallocation(100, total, limit)};
  EXPECT_NE(block, nullptr);
  EXPECT_EQ(HookTrace::Events(), expected);
  mmgr_free(block);
}

// A resize is told its growth (the new size rounded up to 16, less the old usable size) and
// the total after it.
TEST_F(RecoveryTrace, GrowthOverTheLimitIsOverAllocatedAfterThreeCollections) {
  void* const block = mmgr_malloc(40);
  int64_t const growth = 208 - Usable(block);
  HookTrace::Install();
  GMM_EnableOverallocation(true);
  SetHeadroom(0);
  int64_t const total = GTMC_GetTotalUsedMemory(), limit = GTMC_GetTotalMemory();
  void* const grown = mmgr_realloc(block, 200);
  RestorePolicy();
  std::vector<Event> const expected = {Collect(200), Collect(300), Collect(kAll),
                                       Overallocation(growth, total + growth, limit)};
  ASSERT_NE(grown, nullptr);
  EXPECT_EQ(HookTrace::Events(), expected);
  mmgr_free(grown);
}

// Refused throughout: the handler, which returns, is told between two collections, and each
// of the 512 rounds that follow ends with a collection.
TEST_F(RecoveryTrace, RefusedRequestRunsTheWholeSequenceAndGetsNull) {
  HookTrace::Install();
  GMM_EnableOverallocation(false);
  SetHeadroom(0);
  void* const block = mmgr_malloc(100);
  RestorePolicy();
  std::vector<Event> expected = {Collect(100),  Collect(150),    Collect(kAll),
                                 Collect(kAll), MemoryFull(100), Collect(kAll)};
  expected.insert(expected.end(), 512, Collect(kAll));
  EXPECT_EQ(block, nullptr);
  EXPECT_EQ(HookTrace::Count(), 518);  // 517 collections and the handler
  EXPECT_EQ(HookTrace::Events(), expected);
}

}  // namespace
