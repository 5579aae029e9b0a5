// The global allocation operators, so that `new` and `delete` of code bound to this library
// are accounted. None throws: a failed allocation returns null, plain forms included.
#include <new>

#include "../allocation/recovery.h"

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
