// SPDX-License-Identifier: Apache-2.0
// A host that installs its garbage-collect hook by plain assignment from its own code. Built
// non-PIE, the assignment writes the executable's copy of the variable (a copy relocation);
// the library must read that copy. Exits 0 when the hook saw the whole recovery sequence.
#include <cstdio>

#include "memmgr"

namespace {
int calls = 0;
size_t firstAmount = 0;
int MyHook(size_t amount) {
  if (calls++ == 0) firstAmount = amount;
  return 0;
}
void Ignore(unsigned long) {}
}  // namespace

int main() {
  GTMC_GarbageCollect = MyHook;
  Set_GTMC_MemoryFull(Ignore);
  // The system allocator refuses this whatever the limit, so the whole sequence runs.
  constexpr size_t kSize = size_t{1} << 62;
  void* const block = mmgr_malloc(kSize);
  std::printf("block=%p hook calls=%d first amount=%zu\n", block, calls, firstAmount);
  return block == nullptr && calls == 517 && firstAmount == kSize ? 0 : 1;
}
