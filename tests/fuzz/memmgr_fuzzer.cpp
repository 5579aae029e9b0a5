// SPDX-License-Identifier: Apache-2.0
// Model-based fuzzer: the input is decoded into a sequence of calls on a small table of live
// blocks, under a policy the input also changes (limit, over-allocation, garbage-collect hook,
// over-allocation callback, memory-full handler, pressure signal). Every call is checked
// against BudgetModel, the peak included.
//
// Sizes stay at 64 KiB or less, so the system allocator never fails and every refusal comes
// from the budget. Built with MEMMGR_FUZZ_REPLAY it is a plain program that replays the files
// it is given, which is how ctest runs the seed corpus in every build.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "budget_model.h"

namespace {

#define FUZZ_CHECK(condition)                                                                \
  ((condition)                                                                               \
       ? void()                                                                              \
       : (std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition), \
          std::abort()))

struct Input {
  uint8_t const* data;
  size_t size;
  unsigned Byte() { return size == 0 ? 0 : (--size, *data++); }
  size_t Size() { return (Byte() << 8 | Byte()) & 0xFFFF; }  // up to 64 KiB
};

void* slots[8];
bool everFull;  // the memory-full flag never goes back within the process
char text[256];
BudgetModel model;
bool released;  // the latest resize to 0 gave its block up

template <typename Call>
void* Check(bool resize, int64_t old, size_t size, Call call) {
  auto const c = model.Run(resize, old, size, call);
  if (!c.ok) std::fprintf(stderr, "%s\n", c.seen.c_str());
  FUZZ_CHECK(c.ok && !c.expected.report);
  released = c.released;
  everFull |= c.expected.fired;
  return c.result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
  static bool const started = (everFull = GTMC_IsMemoryFull(), true);
  static_cast<void>(started);
  Input in{data, size};
  model = {};
  model.limit = GTMC_GetTotalMemory();
  int64_t const usedStart = GTMC_GetTotalUsedMemory();
  int64_t const threadStart = GTMC_GetAllocationSizeInCurrentThread();

  while (in.size != 0) {
    unsigned const op = in.Byte() % 10;
    void*& slot = slots[in.Byte() % 8];
    if (op < 3) mmgr_free(slot), slot = nullptr;
    switch (op) {
      case 0: {
        size_t const n = in.Size();
        slot = Check(false, 0, n, [n] { return mmgr_malloc(n); });
        break;
      }
      case 1: {
        size_t const count = in.Byte() % 16, n = in.Size() & 0x0FFF;
        slot = Check(false, 0, count * n, [=] { return mmgr_calloc(count, n); });
        break;
      }
      case 2: {
        size_t const length = in.Byte();
        std::memset(text, 'x', length);
        text[length] = '\0';
        slot = Check(false, 0, length + 1, [] { return FF_strdup(text); });
        break;
      }
      case 3: {  // resize, also from null and to 0
        size_t const n = in.Byte() < 32 ? 0 : in.Size();
        void* const block = slot;
        void* const result =
            Check(true, Usable(block), n, [block, n] { return mmgr_realloc(block, n); });
        if (result != nullptr || released) slot = result;
        break;
      }
      case 4:
        mmgr_free(slot), slot = nullptr;
        break;
      case 5: {  // a limit near the bytes in use, or far off either way
        int64_t const offset = static_cast<int16_t>(in.Byte() << 8 | in.Byte());
        // One in eight is 2^63 or more (or just below): it reads as negative, or as huge.
        model.limit = in.Byte() % 8 == 0
                          ? static_cast<int64_t>((uint64_t{1} << 63) + uint64_t(offset))
                          : GTMC_GetTotalUsedMemory() + offset * 64;
        break;
      }
      case 6:
        model.overallocation = !model.overallocation;
        break;
      case 7: {  // the over-allocation callback, the memory-full handler, the pressure signal
        unsigned const which = in.Byte() % 3;
        if (which == 2) {
          int64_t const offset = static_cast<int8_t>(in.Byte());
          model.pressure = offset < -64 ? -1 : GTMC_GetTotalUsedMemory() + offset * 256;
        } else {
          (which == 0 ? model.callback : model.handler) ^= true;
        }
        break;
      }
      case 8: {  // the garbage-collect hook: none, recording, freeing a reserve, or self-removing
        auto const kind = static_cast<BudgetModel::Hook>(in.Byte() % 4);
        if (kind == BudgetModel::Hook::kFreesReserve && BudgetModel::reserveBlock == nullptr) {
          size_t const n = in.Size();
          BudgetModel::reserveBlock = Check(false, 0, n, [n] { return mmgr_malloc(n); });
        }
        model.hook = kind;
        break;
      }
      default: {
        int64_t const used = GTMC_GetTotalUsedMemory(), limit = GTMC_GetTotalMemory();
        int64_t const left = static_cast<int64_t>(uint64_t(limit) - uint64_t(used));
        FUZZ_CHECK(GTMC_GetAllocationSizeInCurrentThread() - threadStart == used - usedStart);
        FUZZ_CHECK(GTMC_GetFreeMemory() == (limit < 0 || left < 0 ? 0 : left));
        FUZZ_CHECK(GTMC_IsMemoryFull() == everFull);
      }
    }
  }

  // Everything back, so the next input starts from an empty table.
  for (void*& block : slots) mmgr_free(block), block = nullptr;
  mmgr_free(std::exchange(BudgetModel::reserveBlock, nullptr));
  FUZZ_CHECK(GTMC_GetTotalUsedMemory() == usedStart);
  FUZZ_CHECK(GTMC_GetAllocationSizeInCurrentThread() == threadStart);
  return 0;
}

#ifdef MEMMGR_FUZZ_REPLAY
int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::FILE* const file = std::fopen(argv[i], "rb");
    if (file == nullptr) return std::perror(argv[i]), 2;
    static uint8_t input[1 << 16];
    size_t const length = std::fread(input, 1, sizeof input, file);
    std::fclose(file);
    LLVMFuzzerTestOneInput(input, length);
  }
  return 0;
}
#endif
