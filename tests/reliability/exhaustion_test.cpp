// SPDX-License-Identifier: Apache-2.0
// Running out of memory for real: a child process whose address space is capped takes 1 MiB
// blocks until the system allocator refuses one. With the default memory-full handler the
// child ends with status 1; with a handler that returns, the request gives null and the
// counters still hold exactly the blocks that are live.
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <new>

#include "memmgr_test.h"

namespace {

enum class Entry { kMalloc, kNewNothrow, kNew };
constexpr size_t kBlock = size_t{1} << 20;
constexpr size_t kMaxBlocks = 4096;
void* blocks[kMaxBlocks];  // static: the child may not depend on the heap it exhausts

void* Take(Entry entry) {
  if (entry == Entry::kMalloc) return mmgr_malloc(kBlock);
  if (entry == Entry::kNewNothrow) return ::operator new(kBlock, std::nothrow);
  return Opaque(::operator new(kBlock));  // no form throws: null once exhausted
}

// Caps the address space 256 MiB above what is mapped now.
bool CapAddressSpace() {
  unsigned long pages = 0;
  FILE* const statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr) return false;
  bool const read = std::fscanf(statm, "%lu", &pages) == 1;
  std::fclose(statm);
  rlim_t const cap = pages * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (rlim_t{256} << 20);
  rlimit const limit{cap, cap};
  return read && setrlimit(RLIMIT_AS, &limit) == 0;
}

// Whether a capped child is really refused a mapping beyond the cap. A user-mode emulator
// keeps address-space limits for itself and accepts the call without applying it.
bool CapIsEnforced() {
  pid_t const child = fork();
  if (child == 0) {
    bool const refused =
        CapAddressSpace() && mmap(nullptr, size_t{512} << 20, PROT_NONE,
                                  MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) == MAP_FAILED;
    _exit(refused ? 0 : 1);
  }
  int status = 0;
  return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

int memoryFullEvents = 0;

// Runs in the child; ends it with 0 when the counters matched the live blocks at exhaustion.
[[noreturn]] void Exhaust(Entry entry, bool handlerReturns) {
  if (handlerReturns) Set_GTMC_MemoryFull(+[](unsigned long) { ++memoryFullEvents; });
  if (!CapAddressSpace()) _exit(3);
  Counters const start = Counters::Now();
  size_t count = 0;
  while (count < kMaxBlocks && (blocks[count] = Take(entry)) != nullptr) ++count;
  int64_t live = 0;
  for (size_t i = 0; i < count; ++i) live += Usable(blocks[i]);
  bool const matched = count > 16 && count < kMaxBlocks && memoryFullEvents == 1 &&
                       Counters::Now() - start == Delta(live);
  for (size_t i = 0; i < count; ++i)
    entry == Entry::kMalloc ? mmgr_free(blocks[i]) : ::operator delete(blocks[i]);
  bool const released = Counters::Now() - start == Delta(0);
  std::fprintf(stderr, "%zu blocks, %d memory-full events\n", count, memoryFullEvents);
  _exit(matched && released ? 0 : 2);
}

using Exhaustion = BudgetTest;

TEST_F(Exhaustion, DefaultHandlerEndsTheProcessAndAReturningOneGetsNull) {
#ifdef MEMMGR_SANITIZED
  GTEST_SKIP() << "the sanitizer runtime reserves more address space than the cap allows";
#endif
  if (!CapIsEnforced()) GTEST_SKIP() << "this system does not enforce an address-space cap";
  for (Entry const entry : {Entry::kMalloc, Entry::kNewNothrow, Entry::kNew}) {
    EXPECT_EXIT(Exhaust(entry, false), testing::ExitedWithCode(1), "") << int(entry);
    EXPECT_EXIT(Exhaust(entry, true), testing::ExitedWithCode(0), "") << int(entry);
  }
}

}  // namespace
