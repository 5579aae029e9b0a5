#include "fast_path.h"
#include "resize.h"

extern "C" {

void* mmgr_malloc(size_t size) { return memmgr::AllocateAccounted(size); }

void* mmgr_realloc(void* block, size_t size) {
  void* const result = memmgr::TryReallocate(block, size, memmgr::Overallocation::Refused);
  // A zero size has released the block: nothing to recover.
  if (size == 0 || result != nullptr) return result;
  return memmgr::RecoverAllocation({block, memmgr::RequestKind::ResizeBlock}, size);
}

void mmgr_free(void* block) { memmgr::ReleaseAccounted(block); }

}  // extern "C"
