// Fixture for tests that change the process-wide budget: it restores the limit, the policy
// and every hook afterwards, so cases stay independent in one process.
//
// The test executable's own allocations (GoogleTest's included) are accounted too, so cases
// measure counter deltas around their own calls only, and keep EXPECTs (which may allocate)
// out of stretches where the limit is tight or a hook records calls.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "memmgr"

class BudgetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GTMC_GetMemoryAllocationRules(&savedLimit_, &reservedOut_);
    savedGarbageCollect_ = GTMC_GarbageCollect;
    savedMemoryFull_ = GTMC_MemoryFull;
  }
  void TearDown() override { RestorePolicy(); }

  // Puts everything back as SetUp found it; callable mid-test before EXPECTs that allocate.
  void RestorePolicy() {
    GTMC_SetMemoryAllocationRules(savedLimit_);
    GMM_EnableOverallocation(true);
    GMM_SetOnOverallocation(nullptr);
    GTMC_GarbageCollect = savedGarbageCollect_;
    Set_GTMC_MemoryFull(savedMemoryFull_);
  }
  // Sets the limit `headroom` bytes above what is in use now (may be negative).
  static void SetHeadroom(int64_t headroom) {
    GTMC_SetMemoryAllocationRules(GTMC_GetTotalUsedMemory() + headroom);
  }

  int64_t savedLimit_ = 0;
  int64_t reservedOut_ = 0;
  GarbageCollectHook savedGarbageCollect_ = nullptr;
  MemoryFullHandler savedMemoryFull_ = nullptr;
};
