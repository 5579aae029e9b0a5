// SPDX-License-Identifier: Apache-2.0
// The measuring stick for the library's hot path: the fewest steps any budgeted allocator of
// this kind can take, built as its own small shared library with the same visibility and
// thread-local model as ours. An allocation reads the total and the limit, compares the
// rounded request, calls malloc, asks malloc_usable_size once and adds the size to one
// shared atomic and one thread-local counter; a release does the mirror image. It does no
// recovery and has no policy, so it is never shipped: the benchmarks and the instruction
// count check report the library's cost against it.
#include "floor_allocator.h"

#include <malloc.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

constinit std::atomic<int64_t> floorTotal{0};
constinit std::atomic<int64_t> floorLimit{int64_t{1} << 40};
constinit thread_local int64_t floorThreadTotal = 0;

[[gnu::noinline, gnu::cold]] void* Refuse() { return nullptr; }

}  // namespace

extern "C" {

void* floor_malloc(size_t size) {
  int64_t const total = floorTotal.load(std::memory_order_relaxed);
  int64_t const limit = floorLimit.load(std::memory_order_relaxed);
  auto const need = static_cast<int64_t>((size + 15) & ~size_t{15});
  if (total + need > limit) [[unlikely]]
    return Refuse();
  void* const block = std::malloc(size);
  if (block == nullptr) [[unlikely]]
    return Refuse();
  auto const usable = static_cast<int64_t>(malloc_usable_size(block));
  floorTotal.fetch_add(usable);
  floorThreadTotal += usable;
  return block;
}

void floor_free(void* block) {
  if (block == nullptr) return;
  auto const usable = static_cast<int64_t>(malloc_usable_size(block));
  floorTotal.fetch_sub(usable);
  floorThreadTotal -= usable;
  std::free(block);
}

}  // extern "C"
