// SPDX-License-Identifier: Apache-2.0
// The header as a C++20 translation unit: it compiles cleanly and gives the C++-only
// declarations the exact types a host binds to.
#include <type_traits>

#include "memmgr"

static_assert(sizeof(wchar_t) == 4 && sizeof(unsigned long) == 8);
static_assert(
    std::is_same_v<decltype(&Set_GTMC_MemoryFull), MemoryFullHandler (*)(MemoryFullHandler)>);
// The C setter takes and returns the same handler type, which is told a size_t.
static_assert(std::is_same_v<decltype(&mmgr_set_memory_full), decltype(&Set_GTMC_MemoryFull)>);
static_assert(std::is_same_v<MemoryFullHandler, void (*)(size_t)>);
static_assert(std::is_same_v<decltype(&builtin_malloc), void* (*)(unsigned long)>);
static_assert(std::is_same_v<decltype(&builtin_calloc), void* (*)(unsigned long, unsigned long)>);
static_assert(std::is_same_v<decltype(&builtin_realloc), void* (*)(void*, unsigned long)>);
static_assert(std::is_same_v<decltype(&GTMC_IsMemoryFull), bool (*)()>);
static_assert(std::is_same_v<MemoryFullHandler, void (*)(unsigned long)>);
static_assert(std::is_same_v<GarbageCollectHook, int (*)(size_t)>);
static_assert(std::is_same_v<OverallocationCallback, void (*)(size_t, int64_t, int64_t)>);

int main() {
  // The C++-linkage entry points resolve against the library, and the two setters are one.
  MemoryFullHandler const previous = Set_GTMC_MemoryFull(GTMC_MemoryFull);
  if (mmgr_set_memory_full(previous) != previous) return 1;
  void* const raw = builtin_realloc(builtin_calloc(2, 8), 64);
  builtin_free(raw);
  return previous != nullptr && raw != nullptr ? 0 : 1;
}
