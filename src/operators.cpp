// SPDX-License-Identifier: Apache-2.0
// The global allocation operators, so that `new` and `delete` of code bound to this library
// are accounted, and whether they are the ones in effect. None throws: a failed allocation
// returns null, plain forms included.
#include <dlfcn.h>

#include <new>

#include "allocation.h"

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

// Whether the operators the process binds to are these. An allocator preloaded or linked ahead
// of the library (jemalloc, mimalloc and gperftools' tcmalloc all define the operators), or an
// executable that links one in, takes them silently: the totals just stay low. The dynamic
// linker has settled the binding by the time the library's initialiser runs, so one look
// there answers for the life of the process.

// The object that defines `symbol` as this library's own references resolve it (RTLD_DEFAULT
// searches the global scope, then this library's own when it was loaded locally) is this one.
bool ResolvesHere(char const* symbol) noexcept {
  Dl_info definer;
  Dl_info self;
  void const* const address = dlsym(RTLD_DEFAULT, symbol);
  return address != nullptr && dladdr(address, &definer) != 0 &&
         dladdr(reinterpret_cast<void const*>(&ResolvesHere), &self) != 0 &&
         definer.dli_fbase == self.dli_fbase;
}

// The plain forms are the ones every new and delete expression of ordinary code calls; an
// allocator that takes any operator takes these.
[[gnu::constructor]] void CheckOperatorsInEffect() noexcept {
  bool const ours = ResolvesHere("_Znwm") && ResolvesHere("_Znam") && ResolvesHere("_ZdlPv") &&
                    ResolvesHere("_ZdaPv");
  memmgr::operatorsInEffect.store(ours, std::memory_order_relaxed);
}

}  // namespace

extern "C" bool mmgr_new_is_accounted(void) {
  return memmgr::operatorsInEffect.load(std::memory_order_relaxed);
}

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
