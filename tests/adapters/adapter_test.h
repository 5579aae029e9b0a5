// SPDX-License-Identifier: Apache-2.0
// Shared by the adapter tests: a library doing real work through its adapter must hold
// accounted memory while it works, give every byte back at its teardown, and, under a budget
// that cannot hold the work, report its own out-of-memory error and still give everything back.
#pragma once

#include "memmgr_test.h"

class AdapterTest : public BudgetTest {
 protected:
  // `work` runs the library from setup to teardown and returns its status; it writes the total
  // it saw at its height into its argument when it gets there. The second run has room for
  // half of what the first held, with no over-allocation and a memory-full handler that
  // returns, so the refused request comes back to the library as a failure.
  template <class Work>
  void ExpectBudgeted(Work work, int done, int outOfMemory) {
    int64_t const start = GTMC_GetTotalUsedMemory();
    int64_t held = 0;
    int const status = work(held);
    int64_t const afterWork = GTMC_GetTotalUsedMemory();
    GMM_EnableOverallocation(false);
    Set_GTMC_MemoryFull(+[](unsigned long) {});
    SetHeadroom((held - start) / 2);
    int64_t unused = 0;
    int const starved = work(unused);
    RestorePolicy();
    int64_t const afterStarved = GTMC_GetTotalUsedMemory();
    EXPECT_EQ(status, done);
    EXPECT_GT(held - start, 16 << 10);
    EXPECT_EQ(afterWork, start);
    EXPECT_EQ(starved, outOfMemory);
    EXPECT_EQ(afterStarved, start);
  }
};
