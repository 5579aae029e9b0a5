// SPDX-License-Identifier: Apache-2.0
// What a fresh process got from VOQ_MAXIMUM_MEMORY at load, which is read once per process:
//   memmgr_startup_limit_probe <expected limit> <1 when the host may still change it, else 0>
// Exits 0 when the process got that, else 1, printing what it got either way.
#include <cstdio>
#include <cstdlib>

#include "memmgr"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  int64_t limit = -1, reserved = -1;
  GTMC_GetMemoryAllocationRules(&limit, &reserved);
  // Even a zero limit only sends the request through recovery, which over-allocates it.
  void* const block = mmgr_malloc(64);
  mmgr_free(block);
  GTMC_SetMemoryAllocationRules(limit + 12345);  // a value no environment limit can give
  int const settable = GTMC_GetTotalMemory() == limit + 12345;
  std::printf("limit %lld, reserved %lld, settable %d, allocated %d\n",
              static_cast<long long>(limit), static_cast<long long>(reserved), settable,
              block != nullptr);
  bool const ok = limit == std::atoll(argv[1]) && reserved == 0 && settable == std::atoi(argv[2]) &&
                  block != nullptr;
  return ok ? 0 : 1;
}
