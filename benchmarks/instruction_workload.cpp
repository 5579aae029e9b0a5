// SPDX-License-Identifier: Apache-2.0
// A fixed workload for counting instructions under callgrind: N pairs of allocate+release
// (64 bytes unless told otherwise) through one family, chosen on the command line. Each family runs
// inside its own extern "C" function named run_<family>, so callgrind's --toggle-collect can count
// that function alone; the pairs before it (warm-up, lazy binding, the first arena set-up)
// are outside the count. run_loop is the same loop with no allocation, so that its cost can
// be taken off the others.
//
//   instruction_workload <raw|mmgr|new|floor|loop> [pairs [bytes]]
//   instruction_workload compiler    prints the compiler the counts belong to
// With MEMMGR_WORKLOAD_PRESSURE set, a pressure signal is armed far above the workload's
// total, which must leave the counts unchanged.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "floor_allocator.h"
#include "memmgr"

namespace {

size_t blockSize = 64;

// Keeps the compiler from seeing that a block is unused (and eliding a new/delete pair).
inline void Escape(void* p) { asm volatile("" : : "g"(p) : "memory"); }

inline void RawPair() {
  void* p = std::malloc(blockSize);
  Escape(p);
  std::free(p);
}

inline void MmgrPair() {
  void* p = mmgr_malloc(blockSize);
  Escape(p);
  mmgr_free(p);
}

// What `new T` and `delete p` of a complete type call: operator new and the sized delete
// (the unsized one where the compiler does not use sized deallocation, as clang 14).
inline void NewPair() {
  void* p = ::operator new(blockSize);
  Escape(p);
#if defined(__cpp_sized_deallocation)
  ::operator delete(p, blockSize);
#else
  ::operator delete(p);
#endif
}

inline void FloorPair() {
  void* p = floor_malloc(blockSize);
  Escape(p);
  floor_free(p);
}

inline void NoPair() { Escape(nullptr); }

template <void (*Pair)()>
void Repeat(long pairs) {
  for (long i = 0; i < pairs; ++i) Pair();
}

}  // namespace

// Never inlined: callgrind must find each under its own name.
#define WORKLOAD_ENTRY extern "C" [[gnu::noinline]] void

WORKLOAD_ENTRY run_raw(long pairs) { Repeat<RawPair>(pairs); }
WORKLOAD_ENTRY run_mmgr(long pairs) { Repeat<MmgrPair>(pairs); }
WORKLOAD_ENTRY run_new(long pairs) { Repeat<NewPair>(pairs); }
WORKLOAD_ENTRY run_floor(long pairs) { Repeat<FloorPair>(pairs); }
WORKLOAD_ENTRY run_loop(long pairs) { Repeat<NoPair>(pairs); }

namespace {

// Outside every counted function: binds each symbol and fills the thread cache.
[[gnu::noinline]] void WarmUp() {
  Repeat<RawPair>(64);
  Repeat<MmgrPair>(64);
  Repeat<NewPair>(64);
  Repeat<FloorPair>(64);
}

}  // namespace

int main(int argc, char** argv) {
  if (std::getenv("MEMMGR_WORKLOAD_PRESSURE") != nullptr) {
    GTMC_SetMemoryPressureCallback(int64_t{1} << 30, [](int64_t, int64_t) {});
  }
  struct Family {
    char const* name;
    void (*run)(long);
  };
  static constexpr Family kFamilies[] = {
      {"raw", run_raw},     {"mmgr", run_mmgr}, {"new", run_new},
      {"floor", run_floor}, {"loop", run_loop},
  };
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <raw|mmgr|new|floor|loop> [pairs]\n", argv[0]);
    return 2;
  }
  if (std::strcmp(argv[1], "compiler") == 0) {
#if defined(__clang__)
    std::printf("clang-%d\n", __clang_major__);
#else
    std::printf("gcc-%d\n", __GNUC__);
#endif
    return 0;
  }
  long const pairs = argc > 2 ? std::atol(argv[2]) : 100000;
  if (argc > 3) blockSize = static_cast<size_t>(std::atol(argv[3]));
  for (Family const& family : kFamilies) {
    if (std::strcmp(argv[1], family.name) != 0) continue;
    WarmUp();
    family.run(pairs);
    return 0;
  }
  std::fprintf(stderr, "unknown family %s\n", argv[1]);
  return 2;
}
