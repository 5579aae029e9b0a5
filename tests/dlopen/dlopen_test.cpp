// The library loaded with dlopen into a process that is not linked to it, with threads that
// exist before the load as well as threads started after it. Nothing else in this process
// allocates through the library, so its process-wide total moves by exactly this test's calls.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <array>
#include <barrier>
#include <cstdint>
#include <thread>
#include <vector>

#include "memmgr"

namespace {

struct Library {
  decltype(&mmgr_malloc) malloc = nullptr;
  decltype(&mmgr_free) free = nullptr;
  decltype(&mmgr_malloc_usable_size) usableSize = nullptr;
  decltype(&GTMC_GetAllocationSizeInCurrentThread) threadTotal = nullptr;
  decltype(&GTMC_GetTotalUsedMemory) total = nullptr;
};

template <typename Function>
void Resolve(void* handle, char const* name, Function& function) {
  function = reinterpret_cast<Function>(dlsym(handle, name));
  ASSERT_NE(function, nullptr) << name << ": " << dlerror();
}

void Load(Library& lib) {
  void* handle = dlopen(MEMMGR_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << dlerror();
  Resolve(handle, "mmgr_malloc", lib.malloc);
  Resolve(handle, "mmgr_free", lib.free);
  Resolve(handle, "mmgr_malloc_usable_size", lib.usableSize);
  Resolve(handle, "GTMC_GetAllocationSizeInCurrentThread", lib.threadTotal);
  Resolve(handle, "GTMC_GetTotalUsedMemory", lib.total);
}

// What one thread saw of its own counter: at start, after allocating, and after releasing
// half of its blocks, with the usable sizes it allocated and kept.
struct ThreadRecord {
  int64_t atStart = -1;
  int64_t afterAllocating = -1;
  int64_t afterReleasing = -1;
  int64_t allocated = 0;
  int64_t kept = 0;
  std::vector<void*> keptBlocks;
};

void AllocateAndReleaseHalf(Library const& lib, int index, ThreadRecord& record) {
  record.atStart = lib.threadTotal();
  std::vector<void*> blocks;
  for (int i = 0; i < 8; ++i) {
    void* block = lib.malloc(static_cast<size_t>(24 + 100 * i + 4000 * index));
    if (block == nullptr) return;
    record.allocated += static_cast<int64_t>(lib.usableSize(block));
    blocks.push_back(block);
  }
  record.afterAllocating = lib.threadTotal();
  for (size_t i = 0; i < blocks.size(); ++i) {
    if (i % 2 == 0) {
      lib.free(blocks[i]);
    } else {
      record.kept += static_cast<int64_t>(lib.usableSize(blocks[i]));
      record.keptBlocks.push_back(blocks[i]);
    }
  }
  record.afterReleasing = lib.threadTotal();
}

TEST(DlopenedLibrary, CountsEachThreadAndTheProcessExactly) {
  constexpr int kEarly = 2;  // threads that exist before the library is loaded
  constexpr int kThreads = kEarly + 3;
  Library lib;
  std::array<ThreadRecord, kThreads> records;
  std::barrier loaded(kEarly + 1);
  std::vector<std::thread> threads;
  for (int i = 0; i < kEarly; ++i) {
    threads.emplace_back([&, i] {
      loaded.arrive_and_wait();
      if (lib.total != nullptr) AllocateAndReleaseHalf(lib, i, records[static_cast<size_t>(i)]);
    });
  }
  Load(lib);
  int64_t const before = HasFatalFailure() ? 0 : lib.total();
  loaded.arrive_and_wait();
  for (auto& thread : threads) thread.join();
  if (HasFatalFailure()) return;
  threads.clear();
  for (int i = kEarly; i < kThreads; ++i) {
    threads.emplace_back([&, i] { AllocateAndReleaseHalf(lib, i, records[static_cast<size_t>(i)]); });
  }
  for (auto& thread : threads) thread.join();

  int64_t kept = 0;
  for (int i = 0; i < kThreads; ++i) {
    ThreadRecord const& r = records[static_cast<size_t>(i)];
    SCOPED_TRACE(i);
    EXPECT_EQ(r.atStart, 0);
    EXPECT_GT(r.allocated, 0);
    EXPECT_EQ(r.afterAllocating, r.allocated);
    EXPECT_EQ(r.afterReleasing, r.kept);
    kept += r.kept;
  }
  EXPECT_EQ(lib.total() - before, kept);

  // Releasing other threads' blocks moves this thread's counter, unclamped, and the total.
  int64_t const total = lib.total();
  int64_t const mine = lib.threadTotal();
  for (auto& r : records) {
    for (void* block : r.keptBlocks) lib.free(block);
  }
  EXPECT_EQ(lib.threadTotal() - mine, -kept);
  EXPECT_EQ(total - lib.total(), kept);
}

}  // namespace
