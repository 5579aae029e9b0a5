// SPDX-License-Identifier: Apache-2.0
// A program whose call sites hold known shares of its accounted peak, for memmgr-run --sites.
//   shares       at the peak (24 MiB): 50 % in 64 KiB blocks (HoldInLargeBlocks, half through
//                each of two callers alike to the byte: HoldThroughFirst, HoldThroughSecond), 30 %
//                in blocks of a few hundred bytes (HoldInSmallBlocks, through new, on a second
//                thread), 20 % in one block (HoldInOneBlock); before the peak ChurnAndRelease
//                passes 256 MiB through blocks it releases again
//   memory-full  under --limit 8M: HoldInLargeBlocks fills the budget, then a request from
//                RequestTooMuch is refused with a memory-full event
//   memory-full-handler set|assign|reinstall|c-set
//                as memory-full, with a handler of the program's (installed with the setter,
//                assigned to GTMC_MemoryFull, set and then set again as read back from
//                GTMC_MemoryFull, or installed with the C setter) that releases everything and
//                exits with status 1
//   exec         as memory-full with a handler that returns, then execs itself (passing on the
//                environment it was started with) into after-exec
//   after-exec   holds 3 MiB (HoldAfterExec)
//   exec-into PROGRAM
//                holds 7 MiB (HoldInLargeBlocks), then execs PROGRAM (one the sampler cannot
//                enter, such as a static one) with the argument "env"
//   crowd        holds 200,000 blocks of 32 bytes: more than the library holds sampled at an
//                interval of 1 byte
//   no-unwind-info
//                holds 4 MiB from a function built without unwind information
//                (no_unwind_info.c), and ends with them still held
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memmgr>
#include <string_view>
#include <thread>
#include <vector>

extern "C" void HoldWithoutUnwindInfo(void);

namespace {

constexpr size_t kMiB = 1 << 20;
constexpr size_t kPeak = 24 * kMiB;

void* blocks[16384];  // fixed, so that the program's own bookkeeping is not a site
size_t held = 0;

[[gnu::noinline]] void HoldInLargeBlocks(size_t bytes) {
  for (size_t i = 0; i < bytes / (64 << 10); ++i) blocks[held++] = mmgr_malloc(64 << 10);
}

// Two callers of the same shape: the stack pointer is the same in HoldInLargeBlocks under
// either, and only the return addresses above it tell them apart. Each leaves its own mark, so
// that no compiler folds them into one.
volatile int lastCaller;
[[gnu::noinline]] void HoldThroughFirst(size_t bytes) {
  HoldInLargeBlocks(bytes);
  lastCaller = 1;  // after the call: not a tail call, this frame stays on the stack
}
[[gnu::noinline]] void HoldThroughSecond(size_t bytes) {
  HoldInLargeBlocks(bytes);
  lastCaller = 2;
}

[[gnu::noinline]] void HoldInOneBlock(size_t bytes) { blocks[held++] = mmgr_calloc(1, bytes); }

char* volatile small[65536];  // volatile: the allocations must not be elided
[[gnu::noinline]] void HoldInSmallBlocks(size_t bytes) {
  // 296 bytes of request are 296 accounted on the usual 64-bit allocators (usable size).
  for (size_t i = 0; i < bytes / 296; ++i) small[i] = new char[296];
}

[[gnu::noinline]] void ChurnAndRelease(size_t bytes) {
  void* window[64] = {};
  for (size_t i = 0; i < bytes / 4096; ++i) {
    mmgr_free(window[i % 64]);
    window[i % 64] = mmgr_malloc(4000 + i % 96);
  }
  for (void* block : window) mmgr_free(block);
}

[[gnu::noinline]] void* RequestTooMuch() { return mmgr_malloc(4 * kMiB); }

void* crowd[200000];
[[gnu::noinline]] void HoldInACrowd() {
  for (void*& block : crowd) block = mmgr_malloc(32);
}

void Release() {
  while (held > 0) mmgr_free(blocks[--held]);
}

[[gnu::noinline]] void HoldAfterExec() { blocks[held++] = mmgr_malloc(3 * kMiB); }

void ReleaseAndExit(unsigned long) {
  Release();
  std::exit(1);
}
void Placeholder(unsigned long) {}

// The environment this process started with, as the kernel keeps it.
char environment[1 << 16];
char* entries[1024];
char** StartingEnvironment() {
  int const fd = open("/proc/self/environ", O_RDONLY | O_CLOEXEC);
  ssize_t const length = fd < 0 ? -1 : read(fd, environment, sizeof environment - 1);
  if (fd >= 0) close(fd);
  size_t count = 0;
  for (ssize_t at = 0; at < length && count + 1 < std::size(entries);
       at += static_cast<ssize_t>(std::strlen(environment + at)) + 1)
    entries[count++] = environment + at;
  entries[count] = nullptr;
  return entries;
}

}  // namespace

int main(int argc, char** argv) {
  std::string_view const mode = argc > 1 ? argv[1] : "";
  std::string_view const how = argc > 2 ? argv[2] : "";
  if (mode == "shares") {
    ChurnAndRelease(256 * kMiB);
    HoldThroughFirst(kPeak / 4);
    HoldThroughSecond(kPeak / 4);
    std::thread([] { HoldInSmallBlocks(kPeak * 3 / 10); }).join();
    HoldInOneBlock(kPeak / 5);
  } else if (mode == "memory-full" || mode == "exec" || mode == "memory-full-handler") {
    GMM_EnableOverallocation(false);
    if (mode == "exec") {
      Set_GTMC_MemoryFull([](unsigned long) {});
    } else if (how == "assign") {
      GTMC_MemoryFull = ReleaseAndExit;
    } else if (how == "c-set") {
      // Installed with the C setter, and each setter returns what the other installed.
      mmgr_set_memory_full(Placeholder);
      if (Set_GTMC_MemoryFull(ReleaseAndExit) != Placeholder) return 3;
      if (mmgr_set_memory_full(ReleaseAndExit) != ReleaseAndExit) return 3;
    } else if (!how.empty()) {
      Set_GTMC_MemoryFull(ReleaseAndExit);
    }
    if (how == "reinstall") Set_GTMC_MemoryFull(GTMC_MemoryFull);  // what it reads, put back
    HoldInLargeBlocks(7 * kMiB);
    mmgr_free(RequestTooMuch());  // refused: only exec's handler returns, the others end it
    if (mode == "exec") {
      Release();
      char* const arguments[] = {argv[0], const_cast<char*>("after-exec"), nullptr};
      execve(argv[0], arguments, StartingEnvironment());
      return 127;
    }
  } else if (mode == "exec-into" && argc > 2) {
    HoldInLargeBlocks(7 * kMiB);
    char* const arguments[] = {argv[2], const_cast<char*>("env"), nullptr};
    execv(argv[2], arguments);
    return 127;
  } else if (mode == "after-exec") {
    HoldAfterExec();
  } else if (mode == "no-unwind-info") {
    HoldWithoutUnwindInfo();
    return 0;  // with the blocks still held
  } else if (mode == "crowd") {
    HoldInACrowd();
    for (void* block : crowd) mmgr_free(block);
  } else {
    return 2;  // no such mode: the modes are listed above
  }
  Release();
  return 0;
}
