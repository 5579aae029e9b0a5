// The system allocator failing at every point of a workload that uses each allocating entry
// point: the library must stay consistent however the failure falls.
//
// This executable replaces malloc, realloc, calloc and posix_memalign (the library takes
// aligned blocks from the last) with versions that count the calls made while armed and fail
// the chosen ones, and lib_base's assertion entry point with a counter of reports. The
// workload runs once to count its system allocator calls, then once per call with that call
// failing (the recovery sequence retries and succeeds), and once per call with every call
// from there on failing (the entry points give up and return null). Calls are armed only
// around the workload's own; the checks run disarmed, with the default policy back.
#include <default_assertion.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <new>

#include <unistd.h>

#include "budget_model.h"

extern "C" void* __libc_malloc(size_t size);
extern "C" void* __libc_realloc(void* block, size_t size);
extern "C" void* __libc_calloc(size_t count, size_t size);
extern "C" void* __libc_memalign(size_t alignment, size_t size);

namespace {

bool armed = false;
int64_t calls = 0, failFirst = 0, failLast = -1;
int reports = 0;
unsigned long reportAllocated = 0, reportRequested = 0;

// Whether this call of the workload is to fail.
bool Fail() { return armed && ++calls >= failFirst && calls <= failLast; }

}  // namespace

extern "C" void* malloc(size_t size) noexcept { return Fail() ? nullptr : __libc_malloc(size); }
extern "C" void* realloc(void* block, size_t size) noexcept {
  return Fail() ? nullptr : __libc_realloc(block, size);
}
extern "C" void* calloc(size_t count, size_t size) noexcept {
  return Fail() ? nullptr : __libc_calloc(count, size);
}
extern "C" int posix_memalign(void** out, size_t alignment, size_t size) noexcept {
  if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) return EINVAL;
  void* const block = Fail() ? nullptr : __libc_memalign(alignment, size);
  if (block == nullptr) return ENOMEM;
  *out = block;
  return 0;
}

namespace DEFAULT_ASSERTION {
int DISPATCHER_WRAPPER::Assertion(ASSERT_STATE, char const*, int, char const*, ASSERT_LEVEL,
                                  char const*, char const*, char const* format, ...) {
  // The figures are the two variadic arguments; read them without formatting (no allocation).
  va_list figures;
  va_start(figures, format);
  reportAllocated = va_arg(figures, unsigned long);
  reportRequested = va_arg(figures, unsigned long);
  va_end(figures);
  return ++reports;
}
EXIT_HELPER::~EXIT_HELPER() {}
}  // namespace DEFAULT_ASSERTION

namespace {

enum Op { kMalloc, kCalloc, kRealloc, kAligned, kStrdup, kWcsdup, kNew, kNewArray, kFree };
struct Step {
  Op op;
  int slot;
  size_t size;  // bytes asked of the library (kFree: unused)
};
// Grows, shrinks, resizes from null and to 0, and mixes every family; ends with all released.
constexpr Step kWorkload[] = {
    {kMalloc, 0, 100},  {kCalloc, 1, 300},   {kRealloc, 0, 5000}, {kRealloc, 0, 40},
    {kRealloc, 2, 200}, {kAligned, 3, 300},  {kStrdup, 4, 0},     {kWcsdup, 5, 0},
    {kNew, 6, 48},      {kNewArray, 7, 96},  {kFree, 1, 0},       {kRealloc, 2, 0},
    {kRealloc, 3, 900}, {kMalloc, 1, 0},     {kFree, 0, 0},       {kFree, 3, 0},
    {kFree, 4, 0},      {kFree, 5, 0},       {kFree, 6, 0},       {kFree, 7, 0},
    {kFree, 1, 0},
};
constexpr char kText[] = "fault injection";
constexpr wchar_t kWide[] = L"wide text";
constexpr int kSlots = 8;

class FaultInjection : public BudgetTest {
 protected:
  struct Slot {
    void* block = nullptr;
    size_t size = 0;  // bytes filled with the slot's pattern
    Op family = kMalloc;
  };

  // Runs the workload with system calls [first, last] failing; returns the calls it made.
  int64_t Run(int64_t first, int64_t last) {
    Slot slots[kSlots];
    BudgetModel model;
    model.reported = reports > 0;  // a process reports once in its life
    model.failFirst = first;
    model.failLast = last;
    model.limit = GTMC_GetTotalMemory();
    Counters net{0, 0};  // the counters' change over the workload's own calls
    calls = 0, failFirst = first, failLast = last;
    for (Step const& step : kWorkload) {
      Slot& s = slots[step.slot];
      size_t const size = step.op == kStrdup   ? sizeof kText
                          : step.op == kWcsdup ? sizeof kWide
                                               : step.size;
      int64_t const old = Usable(s.block);
      int64_t const usedBefore = GTMC_GetTotalUsedMemory();
      int const reportsBefore = reports;
      Counters const before = Counters::Now();
      HookTrace::Install();
      armed = true;
      void* result = nullptr;
      switch (step.op) {
        case kMalloc: result = mmgr_malloc(size); break;
        case kCalloc: result = mmgr_calloc(3, size / 3); break;
        case kRealloc: result = mmgr_realloc(s.block, size); break;
        case kAligned: result = mmgr_aligned_alloc(64, size); break;
        case kStrdup: result = FF_strdup(kText); break;
        case kWcsdup: result = FF_wcsdup(kWide); break;
        case kNew: result = ::operator new(size, std::nothrow); break;
        case kNewArray: result = ::operator new[](size, std::nothrow); break;
        case kFree:
          if (s.family == kNew) {
            ::operator delete(s.block);
          } else if (s.family == kNewArray) {
            ::operator delete[](s.block);
          } else {
            mmgr_free(s.block);
          }
          break;
      }
      armed = false;
      Counters const change = Counters::Now() - before;
      RestorePolicy();
      net = {net.used + change.used, net.thread + change.thread};
      // Predicted afterwards: the prediction allocates, which must not move the total first.
      model.used = usedBefore;
      model.handlerArmed = true;  // HookTrace::Install re-armed it
      BudgetModel::Outcome const expected =
          step.op == kFree      ? BudgetModel::Outcome{}
          : step.op == kRealloc ? model.Realloc(old, size)
                                : model.Malloc(size);
      SCOPED_TRACE(testing::Message() << "step " << (&step - kWorkload) << ", failing calls "
                                      << first << ".." << last);
      EXPECT_TRUE(expected.MatchesTrace());
      EXPECT_EQ(reports - reportsBefore, expected.report ? 1 : 0);
      if (expected.report) {
        EXPECT_EQ(reportAllocated, expected.reportAllocated);
        EXPECT_EQ(reportRequested, expected.reportRequested);
      }
      EXPECT_LE(reports, 1);
      if (step.op == kFree) {
        EXPECT_EQ(change, Delta(-old));
        s = {};
        continue;
      }
      bool const released = step.op == kRealloc && size == 0;
      EXPECT_EQ(result != nullptr, expected.admitted && !released);
      if (released) {
        EXPECT_EQ(change, Delta(-old));
        s = {};
        continue;
      }
      if (result == nullptr) {  // the old block, if any, is untouched and still accounted
        EXPECT_EQ(change, Delta(0));
        if (s.block != nullptr) ExpectPattern(step.slot, s.block, s.size);
        continue;
      }
      EXPECT_EQ(change, Delta(Usable(result) - old));
      EXPECT_GE(Usable(result), static_cast<int64_t>(size));
      if (step.op == kRealloc) ExpectPattern(step.slot, result, std::min(s.size, size));
      if (step.op == kCalloc) {
        auto* const bytes = static_cast<char*>(result);
        EXPECT_TRUE(std::all_of(bytes, bytes + size, [](char c) { return c == 0; }));
      }
      if (step.op == kStrdup) {
        EXPECT_STREQ(static_cast<char*>(result), kText);
      } else if (step.op == kWcsdup) {
        EXPECT_EQ(std::wcscmp(static_cast<wchar_t*>(result), kWide), 0);
      } else if (step.op == kAligned) {
        EXPECT_EQ(reinterpret_cast<uintptr_t>(result) % 64, 0u);
      }
      std::memset(result, 'A' + step.slot, size);
      s = {result, size, step.op == kRealloc ? s.family : step.op};
      int64_t live = 0;
      for (Slot const& each : slots) live += Usable(each.block);
      EXPECT_EQ(net, Delta(live));
    }
    for (Slot const& s : slots) EXPECT_EQ(s.block, nullptr);
    EXPECT_EQ(net, Delta(0));
    EXPECT_EQ(calls, model.systemCalls);
    return calls;
  }

  static void ExpectPattern(int slot, void const* block, size_t size) {
    for (size_t i = 0; i < size; ++i) {
      ASSERT_EQ(static_cast<char const*>(block)[i], 'A' + slot) << "byte " << i;
    }
  }
};

// In a child of its own: a fresh process, whose one report must come from the first failure,
// and whose new/delete are the library's even where a memory checker replaces them in the
// parent. The child's failures show in its output; its exit status carries the verdict.
TEST_F(FaultInjection, EveryFailurePointIsSurvived) {
  auto const runAll = [this] {
    int64_t const total = Run(0, -1);
    EXPECT_GT(total, 10);
    for (int64_t n = 1; n <= total; ++n) {
      Run(n, n);
      Run(n, INT64_MAX);
    }
    EXPECT_EQ(reports, 1);
    std::fflush(stdout);
    _exit(HasFailure() ? 1 : 0);
  };
  EXPECT_EXIT(runAll(), testing::ExitedWithCode(0), "");
}

}  // namespace
