// SPDX-License-Identifier: Apache-2.0
// Fuzzer of the public interface: the input is decoded into a sequence of calls on a small
// table of live blocks, under a policy the input also changes (limit, over-allocation,
// garbage-collect hook, over-allocation callback, memory-full handler, pressure signal). After
// every call it checks what must hold whatever came before: the total equals the usable sizes
// of the live blocks and this thread's count moves with it; a block comes back over the limit
// only through over-allocation, told to its callback; a refusal is null with ENOMEM, was over
// the limit, and fired an armed handler once; the hook is asked for the request first; the
// peak is the highest total since the last reset; an armed pressure threshold signals the
// first step that raises the total past it, with that total.
//
// Sizes stay at 64 KiB or less, so the system allocator never fails and every refusal comes
// from the budget. Built with MEMMGR_FUZZ_REPLAY it is a plain program that replays the files
// it is given, which is how ctest runs the seed corpus in every build.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "memmgr_test.h"

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

// The policy as the input sets it, and what the recorders saw during the latest call (they run
// inside the allocator, so they only count and keep the latest arguments).
enum class Hook { kNone, kRecords, kFreesReserve, kRemovesItself };
struct Policy {
  int64_t limit = 0;
  bool overallocation = true, callback = true, handler = true, handlerArmed = true, everFull;
  Hook hook = Hook::kRecords;
  int64_t threshold = -1;  // negative: the pressure signal is off
} policy;
struct Told {
  size_t amount = 0;  // the request of the call underway, which the hook is asked for first
  int collections = 0, overallocations = 0, firings = 0, signals = 0;
  bool otherAmount = false;  // an amount neither the request, 1.5 times it nor everything
  size_t requested = 0;      // to the over-allocation callback or the memory-full handler
  int64_t total = 0, limit = 0, signalTotal = 0, threshold = 0;
} told;

void* slots[8];
void* reserve;  // what kFreesReserve releases at its first call
char text[256];
int64_t peak;  // the highest total since the last reset, as seen after each call

int Collect(size_t amount) {
  bool const first = told.collections++ == 0;
  told.otherAmount |=
      first ? amount != told.amount : amount != told.amount + told.amount / 2 && amount != SIZE_MAX;
  return 0;
}
int FreeReserve(size_t amount) {
  return mmgr_free(std::exchange(reserve, nullptr)), Collect(amount);
}
int RemoveItself(size_t amount) { return GTMC_GarbageCollect = nullptr, Collect(amount); }
void OnOverallocation(size_t requested, int64_t total, int64_t limit) {
  ++told.overallocations, told.requested = requested, told.total = total, told.limit = limit;
}
void OnMemoryFull(unsigned long size) { ++told.firings, told.requested = size; }
void OnPressure(int64_t total, int64_t threshold) {
  ++told.signals, told.signalTotal = total, told.threshold = threshold;
}

// Makes one call that asks for `size` bytes (a resize of a block of `old` usable bytes when
// `resize`) and checks what holds after any call.
template <typename Call>
void* Check(bool resize, int64_t old, size_t size, Call call) {
  GTMC_SetMemoryAllocationRules(policy.limit);
  GMM_EnableOverallocation(policy.overallocation);
  GMM_SetOnOverallocation(policy.callback ? &OnOverallocation : nullptr);
  GarbageCollectHook const hooks[] = {nullptr, &Collect, &FreeReserve, &RemoveItself};
  GTMC_GarbageCollect = hooks[static_cast<int>(policy.hook)];
  int64_t const reserved = Usable(reserve), limit = GTMC_GetTotalMemory();
  Counters const before = Counters::Now();
  RecoveryCounts const countsBefore = RecoveryCounts::Now();
  told = {.amount = size};
  errno = 0;
  void* const result = call();
  int const error = errno;
  Counters const change = Counters::Now() - before;
  RecoveryCounts const counted = RecoveryCounts::Now() - countsBefore;
  int64_t const after = before.used + change.used;

  bool const released = resize && size == 0;  // a resize to 0 always releases
  int64_t const step = released ? -old : result ? Usable(result) - old : 0;
  FUZZ_CHECK(change.used == step - (reserved - Usable(reserve)) && change.thread == change.used);
  FUZZ_CHECK(counted.collections == told.collections && !told.otherAmount);
  FUZZ_CHECK(!policy.callback || counted.overallocations == told.overallocations);
  // What the budget test counted against the limit at the attempt that ended the call: the
  // request rounded up to 16, over the total less the block it replaces.
  int64_t const projected = after - step + static_cast<int64_t>(mmgr_malloc_good_size(size)) - old;
  if (released) {
    FUZZ_CHECK(result == nullptr && told.collections + told.firings == 0);
    FUZZ_CHECK(counted.overallocations + counted.memoryFullEvents == 0);
  } else if (result != nullptr) {
    FUZZ_CHECK(counted.overallocations == (projected > limit ? 1 : 0));
    FUZZ_CHECK(counted.overallocations == 0 || policy.overallocation);
    if (told.overallocations != 0) {  // for a resize the growth and the total after it
      FUZZ_CHECK(told.requested == (resize ? mmgr_malloc_good_size(size) - old : size));
      FUZZ_CHECK(told.total == (resize ? projected : after - step) && told.limit == limit);
    }
  } else {
    FUZZ_CHECK(error == ENOMEM && projected > limit && counted.overallocations == 0);
    if (size != 0 || resize) {
      FUZZ_CHECK(!policy.overallocation);  // nothing here fails but the budget
      FUZZ_CHECK(counted.memoryFullEvents == policy.handlerArmed);
      FUZZ_CHECK(told.firings == (policy.handlerArmed && policy.handler));
      FUZZ_CHECK(told.firings == 0 || told.requested == size);
      policy.everFull |= std::exchange(policy.handlerArmed, false);
    } else {  // an empty request gives up at once
      FUZZ_CHECK(told.collections + counted.memoryFullEvents == 0);
    }
  }
  FUZZ_CHECK(result == nullptr || counted.memoryFullEvents == 0);
  bool const signal = policy.threshold >= 0 && step > 0 && after > policy.threshold;
  FUZZ_CHECK(told.signals == signal);
  if (signal) {
    FUZZ_CHECK(told.signalTotal == after && told.threshold == policy.threshold);
    policy.threshold = -1;  // disarmed
  }
  peak = std::max(peak, after);
  FUZZ_CHECK(GTMC_GetPeakUsedMemory() == peak);
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
  Input in{data, size};
  int64_t const limitStart = GTMC_GetTotalMemory();
  policy = {.limit = limitStart, .everFull = GTMC_IsMemoryFull()};
  Set_GTMC_MemoryFull(&OnMemoryFull);
  GTMC_SetMemoryPressureCallback(-1, nullptr);
  GTMC_ResetPeakUsedMemory();
  int64_t const usedStart = GTMC_GetTotalUsedMemory();
  int64_t const threadStart = GTMC_GetAllocationSizeInCurrentThread();
  peak = usedStart;

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
        if (result != nullptr || n == 0) slot = result;
        break;
      }
      case 4:
        mmgr_free(slot), slot = nullptr;
        break;
      case 5: {  // a limit near the bytes in use, or far off either way
        int64_t const offset = static_cast<int16_t>(in.Byte() << 8 | in.Byte());
        // One in eight is 2^63 or more (or just below): it reads as negative, or as huge.
        policy.limit = in.Byte() % 8 == 0
                           ? static_cast<int64_t>((uint64_t{1} << 63) + uint64_t(offset))
                           : GTMC_GetTotalUsedMemory() + offset * 64;
        break;
      }
      case 6:
        policy.overallocation = !policy.overallocation;
        break;
      case 7: {  // the over-allocation callback, the memory-full handler, the pressure signal
        unsigned const which = in.Byte() % 3;
        if (which == 2) {
          int64_t const offset = static_cast<int8_t>(in.Byte());
          policy.threshold = offset < -64 ? -1 : GTMC_GetTotalUsedMemory() + offset * 256;
          GTMC_SetMemoryPressureCallback(policy.threshold, &OnPressure);
        } else if (which == 0) {
          policy.callback = !policy.callback;
        } else {  // installed with the setter, which re-arms it
          policy.handler = !policy.handler, policy.handlerArmed = true;
          Set_GTMC_MemoryFull(policy.handler ? &OnMemoryFull : nullptr);
        }
        break;
      }
      case 8: {  // the garbage-collect hook: none, recording, freeing a reserve, or self-removing
        policy.hook = static_cast<Hook>(in.Byte() % 4);
        if (policy.hook == Hook::kFreesReserve && reserve == nullptr) {
          size_t const n = in.Size();
          reserve = Check(false, 0, n, [n] { return mmgr_malloc(n); });
        }
        break;
      }
      default: {  // the statistics, then a new phase of the peak
        int64_t live = Usable(reserve);
        for (void* block : slots) live += Usable(block);
        int64_t const used = GTMC_GetTotalUsedMemory(), limit = GTMC_GetTotalMemory();
        int64_t const left = static_cast<int64_t>(uint64_t(limit) - uint64_t(used));
        FUZZ_CHECK(used - usedStart == live);
        FUZZ_CHECK(GTMC_GetAllocationSizeInCurrentThread() - threadStart == used - usedStart);
        FUZZ_CHECK(GTMC_GetFreeMemory() == (limit < 0 || left < 0 ? 0 : left));
        FUZZ_CHECK(GTMC_IsMemoryFull() == policy.everFull);
        FUZZ_CHECK(GTMC_ResetPeakUsedMemory() == peak && GTMC_GetPeakUsedMemory() == used);
        peak = used;
      }
    }
  }

  // Everything back, so the next input starts from an empty table and the default policy.
  for (void*& block : slots) mmgr_free(block), block = nullptr;
  mmgr_free(std::exchange(reserve, nullptr));
  GTMC_SetMemoryPressureCallback(-1, nullptr);
  GTMC_SetMemoryAllocationRules(limitStart);
  GMM_EnableOverallocation(true);
  GMM_SetOnOverallocation(nullptr);
  GTMC_GarbageCollect = nullptr;
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
