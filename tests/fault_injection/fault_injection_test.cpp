// The system allocator failing at every point of a workload that uses each allocating entry
// point: the library must stay consistent however the failure falls. This executable replaces
// malloc, realloc, calloc and posix_memalign (aligned blocks come from the last) with versions
// that fail the chosen calls made while armed, and lib_base's assertion entry point with a
// counter of reports. The workload runs once to count its system allocator calls, then once
// per call with that call failing (recovery retries and succeeds), and once per call with
// every call from there on failing (the entry points give up).
#include <default_assertion.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

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
  return block == nullptr ? ENOMEM : (*out = block, 0);
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
struct Step { Op op; int slot; size_t size; };  // size: the bytes asked of the library
constexpr char kText[] = "fault injection";
constexpr wchar_t kWide[] = L"wide text";
// Grows, shrinks, resizes from null and to 0, and mixes every family; ends with all released.
constexpr Step kWorkload[] = {
    {kMalloc, 0, 100},  {kCalloc, 1, 300},  {kRealloc, 0, 5000},        {kRealloc, 0, 40},
    {kRealloc, 2, 200}, {kAligned, 3, 300}, {kStrdup, 4, sizeof kText}, {kNew, 6, 48},
    {kNewArray, 7, 96}, {kFree, 1, 0},      {kWcsdup, 5, sizeof kWide}, {kRealloc, 2, 0},
    {kRealloc, 3, 900}, {kMalloc, 1, 0},    {kFree, 0, 0},              {kFree, 3, 0},
    {kFree, 4, 0},      {kFree, 5, 0},      {kFree, 6, 0},              {kFree, 7, 0},
    {kFree, 1, 0}};

// A block of the workload; its first `size` bytes hold the slot's pattern.
struct Slot { void* block = nullptr; size_t size = 0; Op family = kMalloc; };

void* Call(Step const& step, Slot const& s) {
  switch (step.op) {
    case kMalloc: return mmgr_malloc(step.size);
    case kCalloc: return mmgr_calloc(3, step.size / 3);
    case kRealloc: return mmgr_realloc(s.block, step.size);
    case kAligned: return mmgr_aligned_alloc(64, step.size);
    case kStrdup: return FF_strdup(kText);
    case kWcsdup: return FF_wcsdup(kWide);
    case kNew: return ::operator new(step.size, std::nothrow);
    case kNewArray: return ::operator new[](step.size, std::nothrow);
    case kFree: break;
  }
  if (s.family == kNew) ::operator delete(s.block);
  else if (s.family == kNewArray) ::operator delete[](s.block);
  else mmgr_free(s.block);
  return nullptr;
}

bool HasPattern(int slot, void const* block, size_t size) {
  auto const* bytes = static_cast<char const*>(block);
  return std::all_of(bytes, bytes + size, [slot](char c) { return c == 'A' + slot; });
}

class FaultInjection : public BudgetTest {
 protected:
  // Runs the workload with system calls [first, last] failing; returns the calls it made.
  int64_t Run(int64_t first, int64_t last) {
    Slot slots[8];
    BudgetModel model;
    model.reported = reports > 0;  // a process reports once in its life
    model.failFirst = failFirst = first;
    model.failLast = failLast = last;
    model.limit = GTMC_GetTotalMemory();
    Counters net{0, 0};  // the counters' change over the workload's own calls
    calls = 0;
    for (Step const& step : kWorkload) {
      Slot& s = slots[step.slot];
      int64_t const old = Usable(s.block);
      int64_t const usedBefore = GTMC_GetTotalUsedMemory();
      int const reportsBefore = reports;
      Counters const before = Counters::Now();
      HookTrace::Install();
      armed = true;
      void* const result = Call(step, s);
      armed = false;
      Counters const change = Counters::Now() - before;
      RestorePolicy();
      net = {net.used + change.used, net.thread + change.thread};
      // Predicted afterwards: the prediction allocates, which must not move the total first.
      bool const resize = step.op == kRealloc;
      BudgetModel::Outcome const expected =
          step.op == kFree ? BudgetModel::Outcome{}
                           : model.Predict(usedBefore, resize, old, step.size);
      bool const released = step.op == kFree || (resize && step.size == 0 && expected.admitted);
      SCOPED_TRACE(testing::Message() << "step " << (&step - kWorkload) << ", failing calls "
                                      << first << ".." << last);
      EXPECT_TRUE(expected.Matches(result, released));
      EXPECT_EQ(reports - reportsBefore, expected.report ? 1 : 0);
      if (expected.report) {
        EXPECT_EQ(std::pair(reportAllocated, reportRequested),
                  std::pair(expected.reportAllocated, expected.reportRequested));
      }
      if (released) {
        EXPECT_EQ(change, Delta(-old));
        s = {};
      } else if (result == nullptr) {  // the old block, if any, is untouched and still accounted
        EXPECT_EQ(change, Delta(0));
        EXPECT_TRUE(HasPattern(step.slot, s.block, s.size));
      } else {
        EXPECT_EQ(change, Delta(Usable(result) - old));
        EXPECT_GE(Usable(result), static_cast<int64_t>(step.size));
        EXPECT_TRUE(HasPattern(step.slot, result, std::min(s.size, step.size)));
        std::memset(result, 'A' + step.slot, step.size);
        s = {result, step.size, step.op == kRealloc ? s.family : step.op};
      }
      int64_t live = 0;
      for (Slot const& each : slots) live += Usable(each.block);
      EXPECT_EQ(net, Delta(live));
    }
    EXPECT_EQ(net, Delta(0));
    EXPECT_EQ(calls, model.systemCalls);
    return calls;
  }
};

// In a child of its own: a fresh process, whose one report must come from the first failure,
// and whose new/delete are the library's even where a memory checker replaces them in the
// parent. The child's failures show in its output; its exit status carries the verdict.
TEST_F(FaultInjection, EveryFailurePointIsSurvived) {
  auto const runAll = [this] {
    int64_t const total = Run(0, -1);
    EXPECT_GT(total, 10);
    for (int64_t n = 1; n <= total; ++n) Run(n, n), Run(n, INT64_MAX);
    EXPECT_EQ(reports, 1);
    std::fflush(stdout);
    _exit(HasFailure() ? 1 : 0);
  };
  EXPECT_EXIT(runAll(), testing::ExitedWithCode(0), "");
}

}  // namespace
