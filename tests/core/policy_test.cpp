// SPDX-License-Identifier: Apache-2.0
// The policy a host sets and reads back: the limit through every query; the default
// memory-full handler, which ends the process (how a handler fires and is re-armed: the C host
// test); the total and the peak below zero; the pressure signal re-armed from its own callback.
#include <cstdlib>

#include "memmgr_test.h"

namespace {

using Policy = BudgetTest;
MemoryFullHandler const kHandlerAtLoad = GTMC_MemoryFull;

TEST_F(Policy, LimitIsHeldUnroundedAndReadBackByEveryQuery) {
  int64_t const used = GTMC_GetTotalUsedMemory();
  for (int64_t const value : {used + 12345, int64_t{0}, int64_t{-1}, INT64_MAX, INT64_MIN}) {
    int const result = GTMC_SetMemoryAllocationRules(value);
    int64_t limit = 0, reserved = 7;
    GTMC_GetMemoryAllocationRules(&limit, &reserved);
    int64_t const reads[] = {limit, GTMC_GetTotalMemory(), GTMC_GetTotalUseableMemory(),
                             GTMC_GetTotalUseableMemoryApproximation()};
    int64_t const freeBytes = GTMC_GetFreeMemory(), usedNow = GTMC_GetTotalUsedMemory();
    RestorePolicy();
    EXPECT_EQ(result + reserved, 0);
    for (int64_t const read : reads) EXPECT_EQ(read, value);
    // What is left under the limit, never below zero; nothing under a negative limit.
    EXPECT_EQ(freeBytes, value > usedNow ? value - usedNow : 0) << value;
  }
}

// Refused by the budget with over-allocation off. (A refusal by the system allocator fires the
// handler the same way: the C host test; and the default one there: the exhaustion test.)
TEST_F(Policy, DefaultHandlerEndsTheProcessWithStatusOne) {
  EXPECT_EXIT((Set_GTMC_MemoryFull(kHandlerAtLoad), GMM_EnableOverallocation(false),
               GTMC_SetMemoryAllocationRules(0), mmgr_malloc(64), std::_Exit(0)),
              ::testing::ExitedWithCode(1), "");
}

// The peak of each phase is held after every call by the entry-point table and the fuzzer; what
// neither reaches is a total driven below zero, by releasing an unaccounted block through the
// accounted family: it reads as 0, and so does the peak of a phase started there.
TEST_F(Policy, TotalAndPeakBelowZeroReadAsZero) {
  constexpr size_t kForeign = size_t{32} << 20;
  void* const foreign = builtin_malloc(kForeign);
  mmgr_free(foreign);
  bool const belowZero =
      GTMC_GetTotalUsedMemory() == 0 && GTMC_GetFreeMemory() == GTMC_GetTotalMemory();
  GTMC_ResetPeakUsedMemory();
  int64_t const peakBelowZero = GTMC_GetPeakUsedMemory();
  builtin_free(mmgr_malloc(kForeign));  // puts the same usable size back
  EXPECT_TRUE(belowZero);
  EXPECT_EQ(peakBelowZero, 0);
}

int signals = 0;
void Rearm(int64_t total, int64_t) {
  if (++signals < 3) GTMC_SetMemoryPressureCallback(total, Rearm);
}

// The signal fires once per arming (across threads: thread_leases_test.cpp); a callback that
// re-arms it fires again on a later step, never twice on one.
TEST_F(Policy, PressureSignalRearmedByItsCallbackFiresOnLaterSteps) {
  void* blocks[64];
  signals = 0;
  GTMC_SetMemoryPressureCallback(GTMC_GetTotalUsedMemory(), Rearm);
  for (void*& block : blocks) block = mmgr_malloc(100);
  for (void* block : blocks) mmgr_free(block);
  GTMC_SetMemoryPressureCallback(-1, nullptr);
  EXPECT_EQ(signals, 3);
}

}  // namespace
