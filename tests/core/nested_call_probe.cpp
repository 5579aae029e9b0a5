// SPDX-License-Identifier: Apache-2.0
// Calls the system allocator makes into the library from inside its own first
// malloc_usable_size, as gperftools' tcmalloc does, run under whichever allocator provides
// malloc. This executable's malloc_usable_size (exported, so the library binds to it) plays
// such an allocator over the real one: on its first call it runs one row of the table below
// through the library's new, delete, mmgr_malloc and mmgr_realloc, and a call nested in that
// first call would build again, without end, as the real one would; it ends the process
// instead. Each row runs in a fresh process (the first call happens once per process) and is
// compared with a row that nests nothing, so what the allocator itself nests cancels out:
//   memmgr_nested_call_probe            runs every row, exit status 0 when each held
//   memmgr_nested_call_probe <row>      one row: prints the total and the expected growth
#include <dlfcn.h>
#include <malloc.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "memmgr"

namespace {

using UsableSize = size_t (*)(void*);
UsableSize systemUsableSize;
// What the row leaves live, and what the allocator answered when the library asked each one's
// size (-1 while it has not asked; tcmalloc answers 0 until its own initialiser has finished).
// The first kRemembered must count at that size; any further one is not asked about.
constexpr int kRemembered = 8;
void* kept[kRemembered + 2];
long long keptAnswers[kRemembered + 2] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1};
int keptCount;
bool built;
int buildDepth;

// Each row's name, what it shows, and what it runs inside the first call.
struct Row {
  char const* name;
  char const* what;
  void (*run)();
};
constexpr Row kRows[] = {
    {"kept", "a block taken and kept counts at its usable size once the first call returns",
     [] { kept[keptCount++] = new char[200]; }},
    {"released", "a block taken and released there never counts", [] { delete[] new char[200]; }},
    {"resized", "a block taken and resized there counts at its final usable size",
     [] { kept[keptCount++] = mmgr_realloc(mmgr_malloc(40), 4000); }},
    // More than the library remembers: those it could not are released without being counted.
    {"many", "more blocks than are remembered, released there, change nothing",
     [] {
       char* blocks[12];
       for (char*& block : blocks) block = new char[32];
       for (char* block : blocks) delete[] block;
     }},
    {"overflow", "of more blocks than are remembered, kept, those remembered count",
     [] {
       while (keptCount < kRemembered + 2) kept[keptCount++] = new char[48];
     }},
};

// The total after one fresh process ran `name`, and the growth it expects over "none": 0 when
// the child ran and reported, else its exit status (the shell's 126 or 127 when it could not
// start one). A cross build's child runs under the emulator its test was started with.
int RunChild(char const* self, char const* name, long long* total, long long* expected,
             int* newAccounted) {
  char const* const emulator = std::getenv("MEMMGR_CHILD_EMULATOR");
  std::string const command =
      (emulator != nullptr ? std::string(emulator) + " " : std::string()) + self + " " + name;
  FILE* const child = popen(command.c_str(), "r");
  if (child == nullptr) return -1;
  int const read = std::fscanf(child, "%lld %lld %d", total, expected, newAccounted);
  int const status = pclose(child);
  if (status != 0) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return read == 3 ? 0 : -1;
}

constexpr int kSkipped = 77;  // the test's SKIP_RETURN_CODE

}  // namespace

extern "C" size_t malloc_usable_size(void* block) noexcept {
  if (systemUsableSize == nullptr)
    systemUsableSize = reinterpret_cast<UsableSize>(dlsym(RTLD_NEXT, "malloc_usable_size"));
  if (!built) {
    if (++buildDepth > 1) {
      std::fputs("the library asked again from inside the first call: it recursed\n", stderr);
      std::_Exit(3);
    }
    char const* const row = std::getenv("MEMMGR_NESTED_ROW");  // this process's
    for (Row const& each : kRows) {
      if (row != nullptr && std::strcmp(row, each.name) == 0) each.run();
    }
    built = true;
  }
  size_t const answer = systemUsableSize(block);
  for (int i = 0; i < keptCount; ++i) {
    if (block == kept[i]) keptAnswers[i] = static_cast<long long>(answer);
  }
  return answer;
}

int main(int argc, char** argv) {
  if (argc == 2) {  // a child: the first call has happened by the end of this allocation
    mmgr_free(mmgr_malloc(1));
    long long expected = 0;
    for (int i = 0; i < keptCount && i < kRemembered; ++i) {
      expected = keptAnswers[i] < 0 || expected < 0 ? -1 : expected + keptAnswers[i];
    }
    std::printf("%lld %lld %d\n", static_cast<long long>(GTMC_GetTotalUsedMemory()), expected,
                mmgr_new_is_accounted());
    return 0;
  }
  long long baseline = 0, expected = 0, total = 0;
  int newAccounted = 0;
  setenv("MEMMGR_NESTED_ROW", "none", 1);
  int const status = RunChild(argv[0], "none", &baseline, &expected, &newAccounted);
  if (status == 126 || status == 127) return kSkipped;
  if (status != 0 || !newAccounted) {
    std::puts("FAIL: the row that nests nothing, or the library's new not in effect");
    return 1;
  }
  int failures = 0;
  for (Row const& each : kRows) {
    setenv("MEMMGR_NESTED_ROW", each.name, 1);
    bool const held = RunChild(argv[0], each.name, &total, &expected, &newAccounted) == 0 &&
                      total - baseline == expected;
    std::printf("%s %s: %s (total %lld over %lld, expected +%lld)\n", held ? "ok  " : "FAIL",
                each.name, each.what, total, baseline, expected);
    failures += !held;
  }
  return failures == 0 ? 0 : 1;
}
