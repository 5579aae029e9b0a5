// SPDX-License-Identifier: Apache-2.0
// The recovery sequence written out by hand, event by event, for requests over the limit with
// a garbage-collect hook that frees nothing. The budget model that the entry-point table and
// the fuzzer check against follows the implementation step by step; these traces hold both to
// the order the header documents.
#include "memmgr_test.h"

namespace {

using Event = HookTrace::Event;
constexpr size_t kAll = SIZE_MAX;  // the hook asked to free all it can
Event Collect(size_t amount) { return {kCollect, amount}; }

using RecoveryTrace = BudgetTest;

// Each request takes three collections, then its block over the limit, told to the callback:
// for a new block the request and the total before it, for a resize the growth (the new size
// rounded up to 16, less the old usable size) and the total after it; the limit to both.
TEST_F(RecoveryTrace, NewBlockAndGrowthOverTheLimitAreOverAllocatedAfterThreeCollections) {
  void* const old = mmgr_malloc(40);
  int64_t const growth = 208 - Usable(old);
  HookTrace::Install();
  GMM_EnableOverallocation(true);
  SetHeadroom(-64);
  int64_t const total = GTMC_GetTotalUsedMemory(), limit = total - 64;
  void* const block = mmgr_malloc(100);
  int64_t const after = GTMC_GetTotalUsedMemory() + growth;  // once `old` has grown
  void* const grown = mmgr_realloc(old, 200);
  RestorePolicy();
  std::vector<Event> const expected = {
      Collect(100), Collect(150), Collect(kAll), {kOverallocation, 100, total, limit},  //
      Collect(200), Collect(300), Collect(kAll), {kOverallocation, size_t(growth), after, limit}};
  EXPECT_TRUE(block != nullptr && grown != nullptr);
  EXPECT_EQ(HookTrace::Events(), expected);
  mmgr_free(block);
  mmgr_free(grown != nullptr ? grown : old);
}

// Refused throughout: the handler, which returns, is told between two collections, and each
// of the 512 rounds that follow ends with a collection.
TEST_F(RecoveryTrace, RefusedRequestRunsTheWholeSequenceAndGetsNull) {
  HookTrace::Install();
  GMM_EnableOverallocation(false);
  SetHeadroom(0);
  void* const block = mmgr_malloc(100);
  RestorePolicy();
  std::vector<Event> expected = {Collect(100),  Collect(150),       Collect(kAll),
                                 Collect(kAll), {kMemoryFull, 100}, Collect(kAll)};
  expected.insert(expected.end(), 512, Collect(kAll));
  EXPECT_EQ(block, nullptr);
  EXPECT_EQ(HookTrace::Count(), 518);  // 517 collections and the handler
  EXPECT_EQ(HookTrace::Events(), expected);
}

}  // namespace
