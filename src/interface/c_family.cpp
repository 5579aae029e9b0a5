// The rest of the exported C allocation family, layered on the core road.
#include <cstddef>
#include <cstring>

#include "../allocation/fast_path.h"
#include "alignment.h"

extern "C" {

void* mmgr_calloc(size_t count, size_t size) {
  size_t total = 0;
  // A wrapped product would hand back a block smaller than the caller believes it has.
  if (__builtin_mul_overflow(count, size, &total)) return nullptr;
  void* const block = memmgr::AllocateAccounted(total);
  if (block != nullptr) std::memset(block, 0, total);
  return block;
}

void* mmgr_aligned_alloc(size_t alignment, size_t size) {
  return memmgr::NeedsOwnAlignment(alignment) ? memmgr::AllocateAccounted(size, alignment)
                                              : memmgr::AllocateAccounted(size);
}

void mmgr_aligned_free(void* block) { memmgr::ReleaseAccounted(block); }

size_t mmgr_malloc_usable_size(void* block) {
  return block == nullptr ? 0 : memmgr::UsableSizeOfHeldBlock(block);
}

size_t mmgr_malloc_good_size(size_t size) { return memmgr::RoundUp16(size); }

int mmgr_trim_memory(void) { return 0; }

void mmgr_check_consistency(void) {}

}  // extern "C"
