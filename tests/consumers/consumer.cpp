// SPDX-License-Identifier: Apache-2.0
// A host's first check that it took the library in whole: the new it binds to is the library's,
// and a block from a new expression is in the total until it is deleted.
#include <cstdint>
#include <cstdio>
#include <memmgr>

namespace {
// Where the block escapes to, so that the compiler cannot drop the new and delete as a pair.
char* volatile block;
}  // namespace

int main() {
  if (!mmgr_new_is_accounted()) {
    std::fputs("the global operator new in effect is not the library's\n", stderr);
    return 1;
  }
  constexpr int64_t size = 1 << 20;
  int64_t const before = GTMC_GetTotalUsedMemory();
  block = new char[size];
  int64_t const held = GTMC_GetTotalUsedMemory();
  delete[] block;
  int64_t const after = GTMC_GetTotalUsedMemory();
  if (held - before < size || after != before) {
    std::fprintf(stderr, "total %lld, then %lld holding %lld bytes, then %lld\n",
                 static_cast<long long>(before), static_cast<long long>(held),
                 static_cast<long long>(size), static_cast<long long>(after));
    return 1;
  }
  return 0;
}
