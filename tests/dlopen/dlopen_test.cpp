// SPDX-License-Identifier: Apache-2.0
// The library loaded with dlopen into a process that is not linked to it, with threads that
// exist before the load as well as threads started after it. Nothing else in this process
// allocates through the library, so its process-wide total moves by exactly this test's calls.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <barrier>
#include <thread>
#include <vector>

#include "memmgr"

namespace {

decltype(&mmgr_malloc) allocate;
decltype(&mmgr_free) release;
decltype(&mmgr_malloc_usable_size) usableSize;
decltype(&GTMC_GetAllocationSizeInCurrentThread) threadTotal;
decltype(&GTMC_GetTotalUsedMemory) total;

template <typename Function>
void Resolve(void* handle, char const* name, Function& function) {
  function = reinterpret_cast<Function>(dlsym(handle, name));
  ASSERT_NE(function, nullptr) << name << ": " << dlerror();
}

// One thread's work: eight blocks, half of them released again. Returns the usable bytes it
// kept when its own counter agreed at every step (starting from 0), else -1.
int64_t AllocateAndReleaseHalf(int index, std::vector<void*>& kept) {
  int64_t held = 0;
  bool agreed = threadTotal() == 0;
  for (int i = 0; i < 8; ++i) {
    void* const block = allocate(static_cast<size_t>(24 + 100 * i + 4000 * index));
    if (block == nullptr) return -1;
    held += static_cast<int64_t>(usableSize(block));
    agreed &= threadTotal() == held;
    if (i % 2 == 0) {
      held -= static_cast<int64_t>(usableSize(block));
      release(block);
    } else {
      kept.push_back(block);
    }
    agreed &= threadTotal() == held;
  }
  return agreed ? held : -1;
}

TEST(DlopenedLibrary, CountsEachThreadAndTheProcessExactly) {
  constexpr int kEarly = 2, kThreads = 5;  // the first two exist before the library is loaded
  std::vector<void*> kept[kThreads];
  int64_t keptBytes[kThreads] = {};
  std::barrier loaded(kEarly + 1);
  std::vector<std::thread> threads;
  auto const work = [&](int i) { keptBytes[i] = AllocateAndReleaseHalf(i, kept[i]); };
  for (int i = 0; i < kEarly; ++i)
    threads.emplace_back([&, i] { loaded.arrive_and_wait(), work(i); });
  void* const handle = dlopen(MEMMGR_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << dlerror();
  Resolve(handle, "mmgr_malloc", allocate);
  Resolve(handle, "mmgr_free", release);
  Resolve(handle, "mmgr_malloc_usable_size", usableSize);
  Resolve(handle, "GTMC_GetAllocationSizeInCurrentThread", threadTotal);
  Resolve(handle, "GTMC_GetTotalUsedMemory", total);
  int64_t const before = total();
  loaded.arrive_and_wait();
  for (int i = kEarly; i < kThreads; ++i) threads.emplace_back(work, i);
  for (auto& thread : threads) thread.join();

  int64_t sum = 0;
  for (int64_t const bytes : keptBytes) {
    EXPECT_GT(bytes, 0);
    sum += bytes;
  }
  EXPECT_EQ(total() - before, sum);
  // Releasing other threads' blocks moves this thread's counter, unclamped, and the total.
  for (auto& blocks : kept) {
    for (void* const block : blocks) release(block);
  }
  EXPECT_EQ(threadTotal(), -sum);
  EXPECT_EQ(total(), before);
}

}  // namespace
