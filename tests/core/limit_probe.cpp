// Prints what a fresh process got from VOQ_MAXIMUM_MEMORY at load, on one line of stdout:
//   <limit> <reserved> <settable 0|1> <allocated 0|1> <overallocations> <handler at load 0|1>
// then calls the memory-full handler held at load, which must end the process with status 1.
#include <cstdio>

#include "memmgr"

namespace {
int overallocations = 0;
void CountOverallocation(size_t, int64_t, int64_t) { ++overallocations; }
void Ignore(unsigned long) {}
}  // namespace

int main() {
  MemoryFullHandler const heldAtLoad = GTMC_MemoryFull;
  int64_t limit = -1;
  int64_t reserved = -1;
  GTMC_GetMemoryAllocationRules(&limit, &reserved);
  GMM_SetOnOverallocation(CountOverallocation);
  void* const block = mmgr_malloc(64);
  GMM_SetOnOverallocation(nullptr);
  mmgr_free(block);
  // An unrounded value that no environment limit can produce.
  GTMC_SetMemoryAllocationRules(limit + 12345);
  bool const settable = GTMC_GetTotalMemory() == limit + 12345;
  GTMC_SetMemoryAllocationRules(limit);
  MemoryFullHandler const first = Set_GTMC_MemoryFull(Ignore);
  std::printf("%lld %lld %d %d %d %d\n", static_cast<long long>(limit),
              static_cast<long long>(reserved), settable, block != nullptr, overallocations,
              first == heldAtLoad);
  std::fflush(stdout);
  if (first != nullptr) first(0);
  return 3;
}
