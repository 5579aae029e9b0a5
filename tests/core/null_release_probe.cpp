// SPDX-License-Identifier: Apache-2.0
// Releasing null through every release the library exports asks the system allocator nothing.
// This executable's malloc_usable_size (exported, so the library binds to it) counts the calls
// it gets for null before passing each on; the release must not make one, nor write the
// shared total, which it could reach only after asking. Exits 0 when none came.
#include <dlfcn.h>
#include <malloc.h>

#include <cstdio>
#include <new>

#include "memmgr"

namespace {

using UsableSize = size_t (*)(void*);
UsableSize systemUsableSize;
int nullQuestions;

}  // namespace

extern "C" size_t malloc_usable_size(void* block) noexcept {
  if (systemUsableSize == nullptr)
    systemUsableSize = reinterpret_cast<UsableSize>(dlsym(RTLD_NEXT, "malloc_usable_size"));
  if (block == nullptr) ++nullQuestions;
  return systemUsableSize(block);
}

int main() {
  // One pair first, so that the first-call road of malloc_usable_size is behind us.
  mmgr_free(mmgr_malloc(1));
  long long const total = GTMC_GetTotalUsedMemory();
  nullQuestions = 0;
  void* volatile none = nullptr;  // kept from the compiler, which may drop a constant null delete
  mmgr_free(none);
  mmgr_aligned_free(none);
  ::operator delete(none);
  ::operator delete[](none);
  ::operator delete (none, size_t{64});
  ::operator delete[](none, size_t{64});
  ::operator delete (none, std::align_val_t{64});
  ::operator delete[](none, std::align_val_t{64});
  ::operator delete (none, size_t{64}, std::align_val_t{64});
  ::operator delete[](none, size_t{64}, std::align_val_t{64});
  ::operator delete(none, std::nothrow);
  ::operator delete[](none, std::nothrow);
  ::operator delete (none, std::align_val_t{64}, std::nothrow);
  ::operator delete[](none, std::align_val_t{64}, std::nothrow);
  long long const after = GTMC_GetTotalUsedMemory();
  std::printf("malloc_usable_size(NULL) calls: %d; total %lld -> %lld\n", nullQuestions, total,
              after);
  return nullQuestions == 0 && after == total ? 0 : 1;
}
