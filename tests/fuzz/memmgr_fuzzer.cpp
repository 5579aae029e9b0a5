// Model-based fuzzer: the input is decoded into a sequence of calls on a small table of live
// blocks, under a policy the input also changes (limit, over-allocation, garbage-collect hook,
// over-allocation callback). Every call is checked against BudgetModel, and both counters
// against its total.
//
// Sizes stay at 64 KiB or less, so the system allocator never fails and every refusal comes
// from the budget. The memory-full handler always returns. Operator new is not exercised:
// the sanitizer runtime replaces it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "budget_model.h"

namespace {

#define FUZZ_CHECK(condition)                                                           \
  ((condition) ? void() : (std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, \
                                        __LINE__, #condition),                         \
                           std::abort()))

struct Input {
  uint8_t const* data;
  size_t size;
  unsigned Byte() { return size == 0 ? 0 : (--size, *data++); }
  size_t Size() { return (Byte() << 8 | Byte()) & 0xFFFF; }  // up to 64 KiB
};

void* slots[8];
void* reserve;  // what the reserve-freeing hook releases at its next call
bool everFull;  // the memory-full flag never goes back within the process
int64_t initialLimit;
char text[256];
BudgetModel model;
bool released;  // the latest resize to 0 gave its block up

int FreeReserve(size_t amount) {
  HookTrace::Record(kCollect, amount);
  mmgr_free(reserve);
  reserve = nullptr;
  return 0;
}

// One call, predicted by the model, run with the recorders the model's policy names, checked
// and booked. `old` is the usable size of the block a resize starts from.
template <typename Call>
void* Check(bool resize, int64_t old, size_t size, Call call) {
  model.reserve = Usable(reserve);
  BudgetModel::Outcome const expected =
      model.Predict(GTMC_GetTotalUsedMemory(), resize, old, size);
  HookTrace::Install();
  GTMC_GarbageCollect = model.hook == BudgetModel::Hook::kNone      ? nullptr
                        : model.hook == BudgetModel::Hook::kRecords ? &HookTrace::OnCollect
                                                                    : &FreeReserve;
  if (!model.callback) GMM_SetOnOverallocation(nullptr);
  void* const result = call();
  released = resize && size == 0 && expected.admitted;
  FUZZ_CHECK(expected.Matches(result, released) && !expected.report);
  if (result != nullptr) model.Account(Usable(result), old);
  everFull |= expected.Count(kMemoryFull) > 0;
  FUZZ_CHECK(GTMC_GetTotalUsedMemory() == model.used);
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
  static bool const started = [] {
    int64_t reserved = 0;
    GTMC_GetMemoryAllocationRules(&initialLimit, &reserved);
    return everFull = GTMC_IsMemoryFull(), true;
  }();
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
        void* const result = Check(true, Usable(block), n,
                                   [block, n] { return mmgr_realloc(block, n); });
        if (result != nullptr || released) slot = result;
        break;
      }
      case 4:
        mmgr_free(slot), slot = nullptr;
        break;
      case 5: {  // a limit near the bytes in use, or far off either way
        int64_t const offset = static_cast<int16_t>(in.Byte() << 8 | in.Byte());
        // One in eight is 2^63 or more (or just below): it reads as negative, or as huge.
        GTMC_SetMemoryAllocationRules(
            in.Byte() % 8 == 0 ? static_cast<int64_t>((uint64_t{1} << 63) + uint64_t(offset))
                               : GTMC_GetTotalUsedMemory() + offset * 64);
        model.limit = GTMC_GetTotalMemory();
        break;
      }
      case 6:
        GMM_EnableOverallocation(model.overallocation = !model.overallocation);
        break;
      case 7:
        model.callback = !model.callback;
        break;
      case 8: {  // the garbage-collect hook: none, recording, or one that frees a reserve
        unsigned const kind = in.Byte() % 3;
        if (kind == 2 && reserve == nullptr) {
          size_t const n = in.Size();
          reserve = Check(false, 0, n, [n] { return mmgr_malloc(n); });
        }
        model.hook = static_cast<BudgetModel::Hook>(kind);
        break;
      }
      default: {
        int64_t const used = GTMC_GetTotalUsedMemory(), limit = GTMC_GetTotalMemory();
        int64_t const left = static_cast<int64_t>(uint64_t(limit) - uint64_t(used));
        FUZZ_CHECK(limit == model.limit);
        FUZZ_CHECK(GTMC_GetAllocationSizeInCurrentThread() - threadStart == used - usedStart);
        FUZZ_CHECK(GTMC_GetFreeMemory() == (limit < 0 || left < 0 ? 0 : left));
        FUZZ_CHECK(GTMC_IsMemoryFull() == everFull);
      }
    }
  }

  // Everything back, so the next input starts from the same policy and an empty table.
  for (void*& block : slots) mmgr_free(block), block = nullptr;
  mmgr_free(reserve);
  reserve = nullptr;
  FUZZ_CHECK(GTMC_GetTotalUsedMemory() == usedStart);
  FUZZ_CHECK(GTMC_GetAllocationSizeInCurrentThread() == threadStart);
  GTMC_SetMemoryAllocationRules(initialLimit);
  GMM_EnableOverallocation(true);
  GMM_SetOnOverallocation(nullptr);
  GTMC_GarbageCollect = nullptr;
  Set_GTMC_MemoryFull(&HookTrace::OnMemoryFull);
  return 0;
}
