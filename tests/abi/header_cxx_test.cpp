// The header as a C++20 translation unit: it must compile cleanly and give the C++-only
// declarations the exact types a host binds to.
#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>

#include "memmgr"

static_assert(sizeof(wchar_t) == 4, "FF_wcsdup copies 4-byte wide characters");
static_assert(sizeof(unsigned long) == 8, "hook and pass-through sizes are 64-bit");

static_assert(std::is_same_v<decltype(&Set_GTMC_MemoryFull), MemoryFullHandler (*)(MemoryFullHandler)>);
static_assert(std::is_same_v<decltype(&builtin_malloc), void* (*)(unsigned long)>);
static_assert(std::is_same_v<decltype(&builtin_calloc), void* (*)(unsigned long, unsigned long)>);
static_assert(std::is_same_v<decltype(&builtin_realloc), void* (*)(void*, unsigned long)>);
static_assert(std::is_same_v<decltype(&builtin_free), void (*)(void*)>);
static_assert(std::is_same_v<decltype(&mmgr_aligned_alloc), void* (*)(std::size_t, std::size_t)>);
static_assert(std::is_same_v<decltype(&GTMC_IsMemoryFull), bool (*)()>);
static_assert(std::is_same_v<decltype(GTMC_MemoryFull), MemoryFullHandler>);
static_assert(std::is_same_v<decltype(GTMC_GarbageCollect), GarbageCollectHook>);
static_assert(std::is_same_v<MemoryFullHandler, void (*)(unsigned long)>);
static_assert(std::is_same_v<GarbageCollectHook, int (*)(std::size_t)>);
static_assert(std::is_same_v<OverallocationCallback, void (*)(std::size_t, int64_t, int64_t)>);

int main() {
  // The C++-linkage entry points resolve against the library.
  MemoryFullHandler const previous = Set_GTMC_MemoryFull(GTMC_MemoryFull);
  void* const raw = builtin_realloc(builtin_calloc(2, 8), 64);
  builtin_free(raw);
  builtin_free(builtin_malloc(8));
  int* const value = new int(7);
  bool const ok = previous != nullptr && raw != nullptr && *value == 7;
  delete value;
  return ok ? 0 : 1;
}
