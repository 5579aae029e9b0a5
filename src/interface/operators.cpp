// The global allocation operators, so that `new` and `delete` of code bound to this library
// are accounted. None throws: a failed allocation returns null, plain forms included.
#include <new>

#include "../allocation/fast_path.h"
#include "alignment.h"

namespace {

// A new expression passes a power of two above 16 here. Any other value comes from a direct
// call, and a non-power of two is an alignment no block can have: null, with nothing accounted
// and no hook called, rather than a recovery sequence for a request that cannot succeed.
// One inlined road with the alignment chosen at run time keeps the four forms small.
void* AllocateAligned(std::size_t size, std::align_val_t alignment) noexcept {
  auto const bytes = static_cast<std::size_t>(alignment);
  if (!memmgr::IsPowerOfTwo(bytes)) [[unlikely]]
    return nullptr;
  return memmgr::AllocateAccounted(size, memmgr::NeedsOwnAlignment(bytes) ? bytes : 0);
}

}  // namespace

MMGR_API void* operator new(std::size_t size) { return memmgr::AllocateAccounted(size); }
MMGR_API void* operator new[](std::size_t size) { return memmgr::AllocateAccounted(size); }
MMGR_API void* operator new(std::size_t size, std::nothrow_t const&) noexcept {
  return memmgr::AllocateAccounted(size);
}
MMGR_API void* operator new[](std::size_t size, std::nothrow_t const&) noexcept {
  return memmgr::AllocateAccounted(size);
}

// The size of a sized delete is ignored: the block is accounted at its usable size.
MMGR_API void operator delete(void* block) noexcept { memmgr::ReleaseAccounted(block); }
MMGR_API void operator delete[](void* block) noexcept { memmgr::ReleaseAccounted(block); }
MMGR_API void operator delete(void* block, std::size_t) noexcept {
  memmgr::ReleaseAccounted(block);
}
MMGR_API void operator delete[](void* block, std::size_t) noexcept {
  memmgr::ReleaseAccounted(block);
}
MMGR_API void operator delete(void* block, std::nothrow_t const&) noexcept {
  memmgr::ReleaseAccounted(block);
}
MMGR_API void operator delete[](void* block, std::nothrow_t const&) noexcept {
  memmgr::ReleaseAccounted(block);
}

// Over-aligned types. Released like every other block, by its usable size.
MMGR_API void* operator new(std::size_t size, std::align_val_t alignment) {
  return AllocateAligned(size, alignment);
}
MMGR_API void* operator new[](std::size_t size, std::align_val_t alignment) {
  return AllocateAligned(size, alignment);
}
MMGR_API void* operator new(std::size_t size, std::align_val_t alignment,
                            std::nothrow_t const&) noexcept {
  return AllocateAligned(size, alignment);
}
MMGR_API void* operator new[](std::size_t size, std::align_val_t alignment,
                              std::nothrow_t const&) noexcept {
  return AllocateAligned(size, alignment);
}
MMGR_API void operator delete(void* block, std::align_val_t) noexcept {
  memmgr::ReleaseAccounted(block);
}
MMGR_API void operator delete[](void* block, std::align_val_t) noexcept {
  memmgr::ReleaseAccounted(block);
}
MMGR_API void operator delete(void* block, std::size_t, std::align_val_t) noexcept {
  memmgr::ReleaseAccounted(block);
}
MMGR_API void operator delete[](void* block, std::size_t, std::align_val_t) noexcept {
  memmgr::ReleaseAccounted(block);
}
MMGR_API void operator delete(void* block, std::align_val_t, std::nothrow_t const&) noexcept {
  memmgr::ReleaseAccounted(block);
}
MMGR_API void operator delete[](void* block, std::align_val_t, std::nothrow_t const&) noexcept {
  memmgr::ReleaseAccounted(block);
}
