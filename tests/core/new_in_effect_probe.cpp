// SPDX-License-Identifier: Apache-2.0
// Whether the library reports its operator new as the one in effect, and whether that holds:
//   memmgr_new_in_effect_probe <1 when the library's new should be in effect, else 0>
// Exits 0 when mmgr_new_is_accounted() and the figure table say so and a new expression is
// (or is not) accounted.
// Built a second time with an operator new of its own, as an executable that links an
// allocator in statically has; the allocators phase also runs it with one preloaded first.
#include <cstdio>
#include <cstdlib>
#include <new>

#include "memmgr"

#ifdef PROBE_DEFINES_NEW
void* operator new(std::size_t size) { return std::malloc(size == 0 ? 1 : size); }
void* operator new[](std::size_t size) { return std::malloc(size == 0 ? 1 : size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
#endif

// Kept visible, so the compiler cannot drop the new and delete pair.
char* volatile block;

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  int64_t const before = GTMC_GetTotalUsedMemory();
  block = new char[1000];
  bool const accounted = GTMC_GetTotalUsedMemory() >= before + 1000;
  delete[] block;
  // The same answer for a reader outside the process.
  bool const reported = mmgr_new_is_accounted();
  mmgr_figure_locations const& figures = *mmgr_get_figure_locations();
  if (figures.version < 2 || *static_cast<bool const*>(figures.newAccounted) != reported) return 1;
  std::printf("reported %d, accounted %d\n", reported, accounted);
  bool const expected = std::atoi(argv[1]) == 1;
  return reported == expected && accounted == expected ? 0 : 1;
}
