// Links the installed library through its CMake package: plain new/delete and mmgr_malloc
// must reach the process-wide total, and the limit the host sets must hold.
#include <cstdint>
#include <cstdio>
#include <memmgr>
#include <memory>
#include <string>
#include <vector>

namespace {
int failures = 0;
void Expect(bool ok, char const* what) {
  if (!ok) {
    std::fprintf(stderr, "consumer (find_package, C++): %s\n", what);
    ++failures;
  }
}
}  // namespace

int main() {
  GTMC_SetMemoryAllocationRules(int64_t{32} << 20);
  Expect(GTMC_GetTotalMemory() == int64_t{32} << 20, "the host's limit is not held");

  int64_t const before = GTMC_GetTotalUsedMemory();
  auto* numbers = new std::vector<int>(100000, 7);
  int64_t const withVector = GTMC_GetTotalUsedMemory();
  Expect(numbers->back() == 7, "the vector lost its contents");
  Expect(withVector - before >= int64_t{400000}, "new is not accounted");
  delete numbers;
  Expect(GTMC_GetTotalUsedMemory() == before, "delete is not accounted");

  void* block = mmgr_malloc(1 << 20);
  Expect(block != nullptr, "mmgr_malloc failed");
  Expect(GTMC_GetTotalUsedMemory() - before == static_cast<int64_t>(mmgr_malloc_usable_size(block)),
         "mmgr_malloc is not accounted at the usable size");
  mmgr_free(block);
  Expect(GTMC_GetTotalUsedMemory() == before, "mmgr_free is not accounted");

  if (failures == 0) std::puts("consumer (find_package, C++): ok");
  return failures == 0 ? 0 : 1;
}
