// SPDX-License-Identifier: Apache-2.0
// A host linked as docs/integration.md tells: it must get the chosen allocator's malloc and the
// library's operator new, whichever way it was linked. It names malloc only through dlsym, as a
// C++ program that only uses new would not name it at all: under --as-needed nothing else keeps
// the allocator on the link line.
//   link_recipe_host <file the allocator's malloc must be in>   (exit 0: both hold)
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <memmgr>
#include <memory>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  int failures = 0;
  void* const malloc_in_effect = dlsym(RTLD_DEFAULT, "malloc");
  Dl_info where{};
  if (malloc_in_effect == nullptr || dladdr(malloc_in_effect, &where) == 0 ||
      where.dli_fname == nullptr || std::strstr(where.dli_fname, argv[1]) == nullptr) {
    std::printf("malloc is %s's, not %s's\n", where.dli_fname ? where.dli_fname : "nobody",
                argv[1]);
    ++failures;
  }
  int64_t const before = GTMC_GetTotalUsedMemory();
  auto const block = std::make_unique<char[]>(4096);
  if (!mmgr_new_is_accounted() || GTMC_GetTotalUsedMemory() < before + 4096) {
    std::printf("operator new is not accounted\n");
    ++failures;
  }
  return failures == 0 ? 0 : 1;
}
