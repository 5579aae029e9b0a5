// The system allocator failing at every point of a workload that uses each allocating entry
// point: the library must stay consistent however the failure falls, and report the first
// failure of the process, once, through the base library. This executable replaces malloc,
// realloc, calloc and posix_memalign (aligned blocks come from the last) with versions that
// fail the chosen calls made while armed and otherwise pass them to the next allocator, and
// the base library's assertion entry points with recorders. The workload runs once to count
// its system allocator calls, then once per call with that call failing (recovery retries and
// succeeds), and once per call with every call from there on failing (the entry points give
// up). Every call is checked against the budget model.
#include <default_assertion.h>
#include <dlfcn.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include <unistd.h>

#include "budget_model.h"

namespace {
bool armed = false;
int64_t calls = 0, failFirst = 0, failLast = -1;
int reports = 0, exitHelpers = 0;
unsigned long reportAllocated = 0, reportRequested = 0, firstAllocated = 0, firstRequested = 0;
char firstReport[512];  // every argument of the first report, the formatted figures included

bool Fail() { return armed && ++calls >= failFirst && calls <= failLast; }

// The allocator this executable stands in front of, found through the dynamic linker so that
// the same replacement works over any C library or a preloaded allocator.
template <typename Function>
Function* Next(char const* name) {
  static thread_local bool resolving = false;  // the lookup itself may allocate
  if (resolving) return nullptr;
  resolving = true;
  auto* const next = reinterpret_cast<Function*>(dlsym(RTLD_NEXT, name));
  resolving = false;
  return next;
}
}  // namespace

extern "C" void* malloc(size_t size) noexcept {
  static auto* const next = Next<void*(size_t)>("malloc");
  return Fail() || next == nullptr ? nullptr : next(size);
}
extern "C" void* realloc(void* block, size_t size) noexcept {
  static auto* const next = Next<void*(void*, size_t)>("realloc");
  return Fail() || next == nullptr ? nullptr : next(block, size);
}
extern "C" void* calloc(size_t count, size_t size) noexcept {
  static auto* const next = Next<void*(size_t, size_t)>("calloc");
  return Fail() || next == nullptr ? nullptr : next(count, size);
}
extern "C" int posix_memalign(void** out, size_t alignment, size_t size) noexcept {
  static auto* const next = Next<int(void**, size_t, size_t)>("posix_memalign");
  return Fail() || next == nullptr ? ENOMEM : next(out, alignment, size);
}

namespace DEFAULT_ASSERTION {
int DISPATCHER_WRAPPER::Assertion(ASSERT_STATE state, char const* file, int line, char const* kind,
                                  ASSERT_LEVEL level, char const* expression, char const* message,
                                  char const* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  if (reports == 0) {
    int const n = std::snprintf(firstReport, sizeof firstReport, "%d|%s|%d|%s|%d|%s|%s|%s|",
                                state, file, line, kind, level, expression,
                                message ? message : "(null)", format);
    va_list copy;
    va_copy(copy, arguments);
    std::vsnprintf(firstReport + n, sizeof firstReport - static_cast<size_t>(n), format, copy);
    va_end(copy);
  }
  reportAllocated = va_arg(arguments, unsigned long);
  reportRequested = va_arg(arguments, unsigned long);
  va_end(arguments);
  if (reports == 0) firstAllocated = reportAllocated, firstRequested = reportRequested;
  return ++reports + 41;
}
EXIT_HELPER::~EXIT_HELPER() {
  // The base library decides here, from the assertion's result, whether the process goes on.
  if (assertionResult == reports + 41 && level == 1) ++exitHelpers;
}
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
    calls = 0;
    for (Step const& step : kWorkload) {
      Slot& s = slots[step.slot];
      int64_t const old = Usable(s.block);
      int const reportsBefore = reports;
      SCOPED_TRACE(testing::Message() << "step " << (&step - kWorkload) << ", failing calls "
                                      << first << ".." << last);
      if (step.op == kFree) {
        Counters const before = Counters::Now();
        Call(step, s);
        EXPECT_EQ(Counters::Now() - before, Delta(-old));
        s = {};
        continue;
      }
      bool const resize = step.op == kRealloc;
      auto const c = model.Run(resize, old, step.size, [&] {
        armed = true;
        void* const result = Call(step, s);
        armed = false;
        return result;
      });
      EXPECT_TRUE(c.ok) << c.seen;
      EXPECT_EQ(reports - reportsBefore, c.expected.report ? 1 : 0);
      if (c.expected.report) {
        EXPECT_EQ(reportAllocated, c.expected.reportAllocated);
        EXPECT_EQ(reportRequested, c.expected.reportRequested);
      }
      if (c.released) {
        s = {};
      } else if (c.result == nullptr) {  // the old block, if any, is untouched and still accounted
        EXPECT_TRUE(HasPattern(step.slot, s.block, s.size));
      } else {
        EXPECT_TRUE(HasPattern(step.slot, c.result, std::min(s.size, step.size)));
        std::memset(c.result, 'A' + step.slot, step.size);
        s = {c.result, step.size, resize ? s.family : step.op};
      }
    }
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
    char expected[512];
    std::snprintf(expected, sizeof expected,
                  "0||0|assert|1|false|(null)|GMM Transparent SysMemfull; allocated: %%lu; "
                  "requested: %%lu.|GMM Transparent SysMemfull; allocated: %lu; requested: %lu.",
                  firstAllocated, firstRequested);
    EXPECT_STREQ(firstReport, expected);
    EXPECT_EQ(reports, 1);
    EXPECT_EQ(exitHelpers, 1);
    std::fflush(stdout);
    _exit(HasFailure() ? 1 : 0);
  };
  EXPECT_EXIT(runAll(), testing::ExitedWithCode(0), "");
}

}  // namespace
