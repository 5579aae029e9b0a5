// SPDX-License-Identifier: Apache-2.0
// The library's accounted entry points, defined in front of it: each forwards to the library's
// own definition and tells the sampler what came of it. The library defines every form of the
// global new and delete, so each form here forwards to its namesake, never through another
// (which would count a block twice). The memory-full setter is here too: the sampler learns
// of each memory-full event through a handler of its own in front of the program's.
#include <dlfcn.h>

#include <cstring>
#include <cwchar>
#include <memmgr>
#include <new>

#include "sites/site_sampler.h"

namespace {

using sites::sampling;

template <class Function>
Function* Next(char const* name) {
  return reinterpret_cast<Function*>(dlsym(RTLD_NEXT, name));
}

// The definition behind this one, looked up on first use: an allocation may come before this
// object's initialiser has run.
#define NEXT(name, ...) static auto* const next = Next<__VA_ARGS__>(name)

template <class Allocate>
void* Sampled(size_t size, Allocate allocate) {
  if (!sampling.load(std::memory_order_relaxed)) return allocate();
  sites::BeforeAllocation();
  void* const block = allocate();
  sites::AfterAllocation(block, size);
  return block;
}

void Released(void* block) {
  if (block != nullptr && sampling.load(std::memory_order_relaxed)) sites::BeforeRelease(block);
}

}  // namespace

#define EXPORTED __attribute__((visibility("default")))

extern "C" {

EXPORTED void* mmgr_malloc(size_t size) {
  NEXT("mmgr_malloc", void*(size_t));
  return Sampled(size, [&] { return next(size); });
}

EXPORTED void* mmgr_calloc(size_t count, size_t size) {
  NEXT("mmgr_calloc", void*(size_t, size_t));
  size_t bytes = 0;
  if (__builtin_mul_overflow(count, size, &bytes)) return next(count, size);
  return Sampled(bytes, [&] { return next(count, size); });
}

EXPORTED void* mmgr_aligned_alloc(size_t alignment, size_t size) {
  NEXT("mmgr_aligned_alloc", void*(size_t, size_t));
  return Sampled(size, [&] { return next(alignment, size); });
}

EXPORTED void mmgr_free(void* block) {
  NEXT("mmgr_free", void(void*));
  Released(block);
  next(block);
}

EXPORTED void mmgr_aligned_free(void* block) {
  NEXT("mmgr_aligned_free", void(void*));
  Released(block);
  next(block);
}

// The old block leaves the live set first, since once released its address may be handed to
// another thread; a refused resize leaves it where it was, so it comes back.
EXPORTED void* mmgr_realloc(void* block, size_t size) {
  NEXT("mmgr_realloc", void*(void*, size_t));
  if (!sampling.load(std::memory_order_relaxed)) return next(block, size);
  sites::Withdrawn withdrawn;
  bool const wasSampled = block != nullptr && sites::Withdraw(block, withdrawn);
  sites::BeforeAllocation();
  void* const moved = next(block, size);
  bool const keptOld = moved == nullptr && size != 0;
  sites::AfterAllocation(keptOld ? nullptr : moved, size);
  if (keptOld && wasSampled) sites::Restore(block, withdrawn);
  return moved;
}

EXPORTED char* FF_strdup(char const* s) {
  NEXT("FF_strdup", char*(char const*));
  size_t const size = s != nullptr ? std::strlen(s) + 1 : 0;
  return static_cast<char*>(Sampled(size, [&] { return next(s); }));
}

EXPORTED wchar_t* FF_wcsdup(wchar_t const* s) {
  NEXT("FF_wcsdup", wchar_t * (wchar_t const*));
  size_t const size = s != nullptr ? (std::wcslen(s) + 1) * sizeof(wchar_t) : 0;
  return static_cast<wchar_t*>(Sampled(size, [&] { return next(s); }));
}

}  // extern "C"

// The program's handler goes behind the sampler's relay, which snapshots each memory-full event
// before the handler may free anything (site_sampler.h); through either setter, C or C++.
EXPORTED MemoryFullHandler Set_GTMC_MemoryFull(MemoryFullHandler handler) {
  NEXT("_Z19Set_GTMC_MemoryFullPFvmE", MemoryFullHandler(MemoryFullHandler));
  return sites::SetProgramMemoryFullHandler(handler, next);
}
extern "C" EXPORTED MemoryFullHandler mmgr_set_memory_full(MemoryFullHandler handler) {
  NEXT("mmgr_set_memory_full", MemoryFullHandler(MemoryFullHandler));
  return sites::SetProgramMemoryFullHandler(handler, next);
}

// ---- The global new and delete ----------------------------------------------------------

using std::align_val_t, std::nothrow_t;

EXPORTED void* operator new(size_t size) {
  NEXT("_Znwm", void*(size_t));
  return Sampled(size, [&] { return next(size); });
}
EXPORTED void* operator new[](size_t size) {
  NEXT("_Znam", void*(size_t));
  return Sampled(size, [&] { return next(size); });
}
EXPORTED void* operator new(size_t size, nothrow_t const& tag) noexcept {
  NEXT("_ZnwmRKSt9nothrow_t", void*(size_t, nothrow_t const&));
  return Sampled(size, [&] { return next(size, tag); });
}
EXPORTED void* operator new[](size_t size, nothrow_t const& tag) noexcept {
  NEXT("_ZnamRKSt9nothrow_t", void*(size_t, nothrow_t const&));
  return Sampled(size, [&] { return next(size, tag); });
}
EXPORTED void* operator new(size_t size, align_val_t alignment) {
  NEXT("_ZnwmSt11align_val_t", void*(size_t, align_val_t));
  return Sampled(size, [&] { return next(size, alignment); });
}
EXPORTED void* operator new[](size_t size, align_val_t alignment) {
  NEXT("_ZnamSt11align_val_t", void*(size_t, align_val_t));
  return Sampled(size, [&] { return next(size, alignment); });
}
EXPORTED void* operator new(size_t size, align_val_t alignment, nothrow_t const& tag) noexcept {
  NEXT("_ZnwmSt11align_val_tRKSt9nothrow_t", void*(size_t, align_val_t, nothrow_t const&));
  return Sampled(size, [&] { return next(size, alignment, tag); });
}
EXPORTED void* operator new[](size_t size, align_val_t alignment, nothrow_t const& tag) noexcept {
  NEXT("_ZnamSt11align_val_tRKSt9nothrow_t", void*(size_t, align_val_t, nothrow_t const&));
  return Sampled(size, [&] { return next(size, alignment, tag); });
}

// Each delete leaves the live set, then forwards to the library's form of the same name.
EXPORTED void operator delete(void* block) noexcept {
  NEXT("_ZdlPv", void(void*));
  Released(block);
  next(block);
}
EXPORTED void operator delete[](void* block) noexcept {
  NEXT("_ZdaPv", void(void*));
  Released(block);
  next(block);
}
EXPORTED void operator delete(void* block, size_t size) noexcept {
  NEXT("_ZdlPvm", void(void*, size_t));
  Released(block);
  next(block, size);
}
EXPORTED void operator delete[](void* block, size_t size) noexcept {
  NEXT("_ZdaPvm", void(void*, size_t));
  Released(block);
  next(block, size);
}
EXPORTED void operator delete(void* block, nothrow_t const& tag) noexcept {
  NEXT("_ZdlPvRKSt9nothrow_t", void(void*, nothrow_t const&));
  Released(block);
  next(block, tag);
}
EXPORTED void operator delete[](void* block, nothrow_t const& tag) noexcept {
  NEXT("_ZdaPvRKSt9nothrow_t", void(void*, nothrow_t const&));
  Released(block);
  next(block, tag);
}
EXPORTED void operator delete(void* block, align_val_t alignment) noexcept {
  NEXT("_ZdlPvSt11align_val_t", void(void*, align_val_t));
  Released(block);
  next(block, alignment);
}
EXPORTED void operator delete[](void* block, align_val_t alignment) noexcept {
  NEXT("_ZdaPvSt11align_val_t", void(void*, align_val_t));
  Released(block);
  next(block, alignment);
}
EXPORTED void operator delete(void* block, size_t size, align_val_t alignment) noexcept {
  NEXT("_ZdlPvmSt11align_val_t", void(void*, size_t, align_val_t));
  Released(block);
  next(block, size, alignment);
}
EXPORTED void operator delete[](void* block, size_t size, align_val_t alignment) noexcept {
  NEXT("_ZdaPvmSt11align_val_t", void(void*, size_t, align_val_t));
  Released(block);
  next(block, size, alignment);
}
EXPORTED void operator delete(void* block, align_val_t alignment, nothrow_t const& tag) noexcept {
  NEXT("_ZdlPvSt11align_val_tRKSt9nothrow_t", void(void*, align_val_t, nothrow_t const&));
  Released(block);
  next(block, alignment, tag);
}
EXPORTED void operator delete[](void* block, align_val_t alignment, nothrow_t const& tag) noexcept {
  NEXT("_ZdaPvSt11align_val_tRKSt9nothrow_t", void(void*, align_val_t, nothrow_t const&));
  Released(block);
  next(block, alignment, tag);
}
