// Model-based fuzzer: the input is decoded into a sequence of calls on a small table of live
// blocks, under a policy the input also changes (limit, over-allocation, garbage-collect hook,
// over-allocation callback). Every call is checked against BudgetModel: whether it was
// admitted, the hook calls in order with their arguments, and both counters.
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

#define FUZZ_CHECK(condition)                                                    \
  do {                                                                           \
    if (!(condition)) {                                                          \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                              \
    }                                                                            \
  } while (false)

class Input {
 public:
  Input(uint8_t const* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return size_ == 0; }
  unsigned Byte() { return size_ == 0 ? 0 : (--size_, *data_++); }
  size_t Size() { return (Byte() << 8 | Byte()) & 0xFFFF; }  // up to 64 KiB

 private:
  uint8_t const* data_;
  size_t size_;
};

constexpr int kSlots = 8;
void* slots[kSlots];
void* reserve;  // what the reserve-freeing hook releases at its next call
bool everFull;  // the memory-full flag never goes back within the process
int64_t initialLimit;

int FreeReserve(size_t amount) {
  HookTrace::Record(kCollect, amount);
  mmgr_free(reserve);
  reserve = nullptr;
  return 0;
}

// Installs the recorders as the model describes the policy, for one call.
void Arm(BudgetModel& model) {
  HookTrace::Install();
  model.handlerArmed = true;
  GTMC_GarbageCollect = model.hook == BudgetModel::Hook::kNone      ? nullptr
                        : model.hook == BudgetModel::Hook::kRecords ? &HookTrace::OnCollect
                                                                    : &FreeReserve;
  if (!model.callback) GMM_SetOnOverallocation(nullptr);
}

// Checks one call's result against the prediction and books it in the model.
void Settle(BudgetModel& model, BudgetModel::Outcome const& expected, void* result,
            int64_t old, bool released) {
  FUZZ_CHECK(expected.MatchesTrace());
  FUZZ_CHECK(!expected.report);
  FUZZ_CHECK((result != nullptr) == (expected.admitted && !released));
  if (result != nullptr) model.Account(Usable(result), old);
  everFull |= expected.Count(kMemoryFull) > 0;
  FUZZ_CHECK(GTMC_GetTotalUsedMemory() == model.used);
}

// An accounted allocation of `size` bytes through `allocate`, into `slot`.
template <typename Allocate>
void Allocate(BudgetModel& model, void*& slot, size_t size, Allocate allocate) {
  mmgr_free(slot);
  model.used = GTMC_GetTotalUsedMemory();
  BudgetModel::Outcome const expected = model.Malloc(size);
  Arm(model);
  slot = allocate();
  Settle(model, expected, slot, 0, false);
}

void CheckStatistics(BudgetModel const& model, int64_t threadStart, int64_t usedStart) {
  FUZZ_CHECK(GTMC_GetTotalMemory() == model.limit);
  FUZZ_CHECK(GTMC_GetTotalUsedMemory() == model.used);
  FUZZ_CHECK(GTMC_GetAllocationSizeInCurrentThread() - threadStart == model.used - usedStart);
  int64_t const left = static_cast<int64_t>(static_cast<uint64_t>(model.limit) -
                                            static_cast<uint64_t>(model.used));
  FUZZ_CHECK(GTMC_GetFreeMemory() == (model.limit < 0 || left < 0 ? 0 : left));
  FUZZ_CHECK(GTMC_IsMemoryFull() == everFull);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
  static bool const started = [] {
    int64_t reserved = 0;
    GTMC_GetMemoryAllocationRules(&initialLimit, &reserved);
    everFull = GTMC_IsMemoryFull();
    return true;
  }();
  static_cast<void>(started);
  Input in(data, size);
  BudgetModel model;
  model.used = GTMC_GetTotalUsedMemory();
  model.limit = GTMC_GetTotalMemory();
  int64_t const usedStart = model.used;
  int64_t const threadStart = GTMC_GetAllocationSizeInCurrentThread();
  static char text[256];

  while (!in.empty()) {
    unsigned const op = in.Byte() % 10;
    void*& slot = slots[in.Byte() % kSlots];
    switch (op) {
      case 0: {
        size_t const n = in.Size();
        Allocate(model, slot, n, [n] { return mmgr_malloc(n); });
        break;
      }
      case 1: {
        size_t const count = in.Byte() % 16, n = in.Size() & 0x0FFF;
        Allocate(model, slot, count * n, [count, n] { return mmgr_calloc(count, n); });
        break;
      }
      case 2: {
        size_t const length = in.Byte();
        std::memset(text, 'x', length);
        text[length] = '\0';
        Allocate(model, slot, length + 1, [] { return FF_strdup(text); });
        break;
      }
      case 3: {  // resize, also from null and to 0
        size_t const n = in.Byte() < 32 ? 0 : in.Size();
        int64_t const old = Usable(slot);
        model.used = GTMC_GetTotalUsedMemory();
        BudgetModel::Outcome const expected = model.Realloc(old, n);
        Arm(model);
        void* const result = mmgr_realloc(slot, n);
        bool const released = n == 0 && expected.admitted;
        Settle(model, expected, result, old, released);
        if (result != nullptr || released) slot = result;
        break;
      }
      case 4:
        mmgr_free(slot);
        slot = nullptr;
        model.used = GTMC_GetTotalUsedMemory();
        break;
      case 5: {  // a limit near the bytes in use, or far off either way
        int64_t const offset = static_cast<int16_t>(in.Byte() << 8 | in.Byte());
        // One in eight is 2^63 or more (or just below): it reads as negative, or as huge.
        int64_t const limit =
            in.Byte() % 8 == 0
                ? static_cast<int64_t>((uint64_t{1} << 63) + static_cast<uint64_t>(offset))
                : model.used + offset * 64;
        GTMC_SetMemoryAllocationRules(limit);
        model.limit = GTMC_GetTotalMemory();
        break;
      }
      case 6:
        model.overallocation = !model.overallocation;
        GMM_EnableOverallocation(model.overallocation);
        break;
      case 7:
        model.callback = !model.callback;
        break;
      case 8: {  // the garbage-collect hook: none, recording, or one that frees a reserve
        unsigned const kind = in.Byte() % 3;
        if (kind == 2 && reserve == nullptr) {
          size_t const n = in.Size();
          Allocate(model, reserve, n, [n] { return mmgr_malloc(n); });
        }
        model.hook = static_cast<BudgetModel::Hook>(kind);
        model.reserve = Usable(reserve);
        break;
      }
      default:
        CheckStatistics(model, threadStart, usedStart);
        break;
    }
    if (model.hook == BudgetModel::Hook::kFreesReserve) model.reserve = Usable(reserve);
  }

  // Everything back, so the next input starts from the same policy and an empty table.
  for (void*& block : slots) mmgr_free(block), block = nullptr;
  mmgr_free(reserve);
  reserve = nullptr;
  model.used = GTMC_GetTotalUsedMemory();
  FUZZ_CHECK(model.used == usedStart);
  FUZZ_CHECK(GTMC_GetAllocationSizeInCurrentThread() == threadStart);
  GTMC_SetMemoryAllocationRules(initialLimit);
  GMM_EnableOverallocation(true);
  GMM_SetOnOverallocation(nullptr);
  GTMC_GarbageCollect = nullptr;
  Set_GTMC_MemoryFull(&HookTrace::OnMemoryFull);
  return 0;
}
