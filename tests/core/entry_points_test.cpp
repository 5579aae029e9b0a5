// SPDX-License-Identifier: Apache-2.0
// Every allocating entry point under every shape of the budget and with the system allocator
// failing at each point, checked against the model: whether the request fits (on its size
// rounded up to 16), the recovery sequence step by step (hook amounts, over-allocation and
// what its callback is told, the memory-full handler, the 512 rounds), both counters moved by
// exactly the usable size, the alignment promised, contents kept by a resize, the one report
// of the process's first system failure, and the release through the matching form.
//
// This executable replaces malloc, realloc, calloc and posix_memalign with versions that fail
// the chosen calls made while armed and otherwise pass them to the next allocator, and the
// base library's assertion entry points with recorders.
#include <default_assertion.h>
#include <dlfcn.h>
#include <gtest/gtest-spi.h>

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <span>

#include "budget_model.h"

namespace {
bool armed = false;
int64_t calls = 0, failFirst = 0, failLast = -1;
int reports = 0, exitHelpers = 0;
unsigned long reportAllocated = 0, reportRequested = 0, firstAllocated = 0, firstRequested = 0;
char firstReport[512];  // every argument of the first report, the formatted figures included
}  // namespace

#ifdef MEMMGR_SANITIZED  // the sanitizer runtimes define these themselves
constexpr bool kInjectsFailures = false;
#else
constexpr bool kInjectsFailures = true;
namespace {
// Calls the system allocator makes of its own while serving one of ours are passed through
// uncounted: scudo's GWP-ASan records the stack of a sampled allocation with backtrace(),
// whose first use loads libgcc_s, and the dynamic loader allocates with malloc.
thread_local int insideSystemAllocator = 0;
struct InsideSystemAllocator {
  InsideSystemAllocator() { ++insideSystemAllocator; }
  ~InsideSystemAllocator() { --insideSystemAllocator; }
};
bool Fail() {
  return armed && insideSystemAllocator == 0 && ++calls >= failFirst && calls <= failLast;
}

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
  if (Fail() || next == nullptr) return nullptr;
  InsideSystemAllocator const inside;
  return next(size);
}
extern "C" void* realloc(void* block, size_t size) noexcept {
  static auto* const next = Next<void*(void*, size_t)>("realloc");
  if (Fail() || next == nullptr) return nullptr;
  InsideSystemAllocator const inside;
  return next(block, size);
}
extern "C" void* calloc(size_t count, size_t size) noexcept {
  static auto* const next = Next<void*(size_t, size_t)>("calloc");
  if (Fail() || next == nullptr) return nullptr;
  InsideSystemAllocator const inside;
  return next(count, size);
}
extern "C" int posix_memalign(void** out, size_t alignment, size_t size) noexcept {
  static auto* const next = Next<int(void**, size_t, size_t)>("posix_memalign");
  if (Fail() || next == nullptr) return ENOMEM;
  InsideSystemAllocator const inside;
  return next(out, alignment, size);
}
#endif

namespace DEFAULT_ASSERTION {
int DISPATCHER_WRAPPER::Assertion(ASSERT_STATE state, char const* file, int line, char const* kind,
                                  ASSERT_LEVEL level, char const* expression, char const* message,
                                  char const* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  if (reports == 0) {
    int const n =
        std::snprintf(firstReport, sizeof firstReport, "%d|%s|%d|%s|%d|%s|%s|%s|", state, file,
                      line, kind, level, expression, message ? message : "(null)", format);
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

using Hook = BudgetModel::Hook;
using std::align_val_t;

// The C family, each called as a row's `allocate` (`from`: the block a resize starts from).
char text[201];  // copies of `n` bytes are taken from the tail of these
wchar_t wide[51];
void* CopyText(void*, size_t n) { return FF_strdup(text + 201 - n); }
void* CopyWide(void*, size_t n) { return FF_wcsdup(wide + 51 - n / sizeof(wchar_t)); }
void* Malloc(void*, size_t n) { return mmgr_malloc(n); }
void* Calloc(void*, size_t n) { return mmgr_calloc(4, n / 4); }
void* Resize(void* from, size_t n) { return mmgr_realloc(from, n); }
template <size_t alignment>
void* Aligned(void*, size_t n) {
  return mmgr_aligned_alloc(alignment, n);
}
void Free(void* p) { mmgr_free(p); }
void AlignedFree(void* p) { mmgr_aligned_free(p); }
void* New(void*, size_t n) { return Opaque(operator new(n)); }
void* NewArray(void*, size_t n) { return Opaque(operator new[](n)); }

struct Entry {
  char const* name;
  size_t resizeFrom = 0;   // a resize of a block of this many bytes (SIZE_MAX: from null)
  size_t alignment = 16;   // what every block it returns is aligned to
  bool takesEmpty = true;  // takes a request of 0 bytes (a copy always holds its terminator)
  void* (*allocate)(void* from, size_t n);
  void (*release)(void*) = Free;
};
Entry const kEntries[] = {
    {.name = "malloc", .allocate = Malloc},
    {.name = "calloc", .allocate = Calloc, .release = AlignedFree},
    {.name = "realloc from null", .resizeFrom = SIZE_MAX, .allocate = Resize},
    {.name = "realloc grow", .resizeFrom = 40, .allocate = Resize},
    {.name = "realloc shrink", .resizeFrom = 4000, .allocate = Resize},
    // Powers of two above 16 are honoured; 16 or less take malloc's own 16. Other
    // alignments are refused at once (OverflowingAndNullRequestsAllocateNothing).
    {.name = "aligned 32", .alignment = 32, .allocate = Aligned<32>, .release = AlignedFree},
    {.name = "aligned 4096", .alignment = 4096, .allocate = Aligned<4096>},
    {.name = "aligned 65536", .alignment = 65536, .allocate = Aligned<65536>},
    {.name = "aligned 1", .allocate = Aligned<1>, .release = AlignedFree},
    {.name = "aligned 16", .allocate = Aligned<16>, .release = AlignedFree},
    {.name = "strdup", .takesEmpty = false, .allocate = CopyText},
    {.name = "wcsdup", .takesEmpty = false, .allocate = CopyWide},
};
// The C++ operators, which sanitizers and valgrind replace. Each delete form once; a sized
// delete's size is ignored, so a wrong one must not matter.
Entry const kOperators[] = {
    {.name = "new", .allocate = New, .release = [](void* p) { operator delete(p); }},
    {.name = "new[]", .allocate = NewArray, .release = [](void* p) { operator delete[](p, 9); }},
    {.name = "new nothrow",
     .allocate = [](void*, size_t n) { return operator new(n, std::nothrow); },
     .release = [](void* p) { operator delete(p, std::nothrow); }},
    {.name = "new[] nothrow",
     .allocate = [](void*, size_t n) { return operator new[](n, std::nothrow); },
     .release = [](void* p) { operator delete[](p, std::nothrow); }},
    {.name = "new, sized", .allocate = New, .release = [](void* p) { operator delete(p, 1); }},
    {.name = "new[], delete[]",
     .allocate = NewArray,
     .release = [](void* p) { operator delete[](p); }},
    // Over-aligned types; an alignment of 16 or less is malloc's own.
    {.name = "new 64",
     .alignment = 64,
     .allocate = [](void*, size_t n) { return Opaque(operator new (n, align_val_t{64})); },
     .release = [](void* p) { operator delete (p, align_val_t{64}); }},
    {.name = "new[] 4096",
     .alignment = 4096,
     .allocate = [](void*, size_t n) { return Opaque(operator new[](n, align_val_t{4096})); },
     .release = [](void* p) { operator delete[](p, size_t{1}, align_val_t{4096}); }},
    {.name = "new 8 nothrow",
     .allocate = [](void*, size_t n) { return operator new (n, align_val_t{8}, std::nothrow); },
     .release = [](void* p) { operator delete (p, align_val_t{8}, std::nothrow); }},
    {.name = "new[] 32 nothrow",
     .alignment = 32,
     .allocate = [](void*, size_t n) { return operator new[](n, align_val_t{32}, std::nothrow); },
     .release = [](void* p) { operator delete[](p, align_val_t{32}, std::nothrow); }},
    {.name = "new 128, sized delete",
     .alignment = 128,
     .allocate = [](void*, size_t n) { return Opaque(operator new (n, align_val_t{128})); },
     .release = [](void* p) { operator delete (p, size_t{3}, align_val_t{128}); }},
    {.name = "new[] 64, delete[]",
     .alignment = 64,
     .allocate = [](void*, size_t n) { return Opaque(operator new[](n, align_val_t{64})); },
     .release = [](void* p) { operator delete[](p, align_val_t{64}); }},
};

struct Policy {
  char const* name;
  int64_t headroom = 1 << 20;  // the limit minus the bytes in use when the call starts
  size_t size = 100;           // rounds to 112
  bool overallocation = false;
  Hook hook = Hook::kRecords;
  bool handler = true;           // the recording memory-full handler, which returns; else null
  int64_t pressure = INT64_MIN;  // the pressure threshold above the bytes in use; MIN: off
  int64_t failing = 0;  // system allocator calls that fail, from the first (INT64_MAX: all)
};
Policy const kPolicies[] = {
    {.name = "fits exactly", .headroom = 112},
    {.name = "one byte short", .headroom = 111},
    {.name = "over, over-allocated", .headroom = 0, .overallocation = true},
    {.name = "over by 8 KiB, over-allocated", .headroom = -8192, .overallocation = true},
    {.name = "hook frees enough", .headroom = 0, .hook = Hook::kFreesReserve},
    {.name = "no hook", .headroom = 0, .hook = Hook::kNone},
    {.name = "hook removes itself", .headroom = 0, .hook = Hook::kRemovesItself},
    {.name = "null handler", .headroom = 0, .handler = false},
    {.name = "empty within", .headroom = 4096, .size = 0},
    {.name = "empty over", .headroom = -1, .size = 0, .overallocation = true},
    // Still over the limit without the block: a resize to 0 releases it all the same.
    {.name = "empty far over", .headroom = -8192, .size = 0},
    {.name = "pressure crossed", .headroom = 112, .pressure = 50},
    {.name = "pressure not crossed", .headroom = 112, .pressure = 4096},
    {.name = "over-allocated past pressure", .headroom = 0, .overallocation = true, .pressure = 0},
};
// With room to spare, the system allocator refuses the first calls of each entry point.
Policy const kSystemFailures[] = {
    {.name = "system fails once", .failing = 1},
    {.name = "system fails twice", .overallocation = true, .failing = 2},
    {.name = "system fails 514 times", .overallocation = true, .failing = 514},
    {.name = "system fails throughout", .overallocation = true, .failing = INT64_MAX},
    // A resize to 0 must release its block all the same.
    {.name = "empty as the system fails", .size = 0, .overallocation = true, .failing = INT64_MAX},
};

class EntryPoints : public BudgetTest {
 protected:
  // Runs every entry point under each policy and checks it against `model`.
  template <size_t N>
  void RunAll(Policy const (&policies)[N], BudgetModel& model) {
    std::memset(text, 'x', 200);
    std::wmemset(wide, L'w', 50);
    using Table = std::span<Entry const>;
    for (Table const entries : {Table(kEntries), NewIsAccounted() ? Table(kOperators) : Table()}) {
      bool const cFamily = entries.data() == kEntries;
      for (Entry const& e : entries) {
        for (Policy const& p : policies) {
          if (p.size == 0 && !e.takesEmpty) continue;
          SCOPED_TRACE(std::string(e.name) + ", " + p.name);
          RunOne(e, p, model, cFamily);
        }
      }
    }
  }

  static void RunOne(Entry const& e, Policy const& p, BudgetModel& model, bool cFamily) {
    model.overallocation = p.overallocation;
    model.hook = p.hook;
    model.handler = p.handler;
    model.failFirst = failFirst = 1;
    model.failLast = failLast = p.failing;
    model.systemCalls = calls = 0;
    model.reported = reports > 0;  // a process reports once in its life
    auto* const from = static_cast<unsigned char*>(
        e.resizeFrom == 0 || e.resizeFrom == SIZE_MAX
            ? nullptr
            : std::memset(mmgr_malloc(e.resizeFrom), 0x5A, e.resizeFrom));
    if (p.hook == Hook::kFreesReserve) BudgetModel::reserveBlock = mmgr_malloc(64 << 10);
    model.limit = GTMC_GetTotalUsedMemory() + p.headroom;
    model.pressure = p.pressure == INT64_MIN ? -1 : GTMC_GetTotalUsedMemory() + p.pressure;
    int const reportsBefore = reports;
    int error = 0;
    auto const c = model.Run(e.resizeFrom != 0, Usable(from), p.size, [&] {
      armed = true;
      errno = 0;
      void* const result = e.allocate(from, p.size);
      error = errno;
      armed = false;
      return result;
    });
    EXPECT_TRUE(c.ok) << c.seen;
    // The C family and the copies say why they refused, as malloc does.
    if (cFamily && c.result == nullptr && !c.released) {
      EXPECT_EQ(error, ENOMEM);
    }
    if (p.failing != 0) {  // where failures are injected (valgrind keeps the others)
      EXPECT_EQ(calls, model.systemCalls);
    }
    EXPECT_EQ(reports - reportsBefore, c.expected.report ? 1 : 0);
    if (c.expected.report) {
      EXPECT_EQ(reportAllocated, c.expected.reportAllocated);
      EXPECT_EQ(reportRequested, c.expected.reportRequested);
    }
    // malloc's own alignment is 16 from glibc, jemalloc, mimalloc and scudo, but tcmalloc gives
    // a block of 8 bytes or less only the 8 that any object that small can need.
    size_t const promised = e.alignment == 16 && p.size <= 8 ? 8 : e.alignment;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(c.result) % promised, 0u);
    // A resize keeps the contents it can; a failed one leaves the old block as it was.
    auto const* const kept = c.result != nullptr ? static_cast<unsigned char*>(c.result) : from;
    if (from != nullptr && !c.released && (c.result == nullptr || p.size > 0)) {
      EXPECT_EQ(kept[std::min(e.resizeFrom, std::max(p.size, size_t{1})) - 1], 0x5A);
    }
    mmgr_free(std::exchange(BudgetModel::reserveBlock, nullptr));
    if (from != nullptr && c.result == nullptr && !c.released) mmgr_free(from);
    int64_t const usable = Usable(c.result);
    Counters const before = Counters::Now();
    e.release(c.result);
    EXPECT_EQ(Counters::Now() - before, Delta(-usable));
  }
};

TEST_F(EntryPoints, EveryEntryUnderEveryBudgetDoesWhatTheModelPredicts) {
  BudgetModel model;
  RunAll(kPolicies, model);
}

// In a child of its own: a fresh process, whose one report must come from its first failure.
TEST_F(EntryPoints, EverySystemFailureIsSurvivedAndReportedOnce) {
  if (!kInjectsFailures) GTEST_SKIP() << "the sanitizer runtime owns malloc";
  auto const runAll = [this] {
    // A death test's child reports no failure of its own, so they are caught here and written
    // to stderr, which the parent shows when the child's status is not 0.
    testing::TestPartResultArray failures;
    {
      testing::ScopedFakeTestPartResultReporter const catchFailures(
          testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &failures);
      BudgetModel model;
      RunAll(kSystemFailures, model);
      char expected[512];
      std::snprintf(expected, sizeof expected,
                    "0||0|assert|1|false|(null)|GMM Transparent SysMemfull; allocated: %%lu; "
                    "requested: %%lu.|GMM Transparent SysMemfull; allocated: %lu; requested: %lu.",
                    firstAllocated, firstRequested);
      EXPECT_STREQ(firstReport, expected);
      EXPECT_EQ(reports, 1);
      EXPECT_EQ(exitHelpers, 1);
    }
    for (int i = 0; i < failures.size(); ++i) {
      testing::TestPartResult const& failure = failures.GetTestPartResult(i);
      std::fprintf(stderr, "%s:%d: %s\n", failure.file_name() ? failure.file_name() : "?",
                   failure.line_number(), failure.message());
    }
    _exit(failures.size() == 0 ? 0 : 1);
  };
  EXPECT_EXIT(runAll(), testing::ExitedWithCode(0), "");
}

// Requests that cannot be met or make no sense give null at once: nothing is allocated and
// no hook is called, even with the limit below the bytes in use. The C family says why in
// errno, as the C library does: ENOMEM for a size that overflows, EINVAL for an alignment
// that is not a power of two.
TEST_F(EntryPoints, OverflowingAndNullRequestsAllocateNothing) {
  bool const newAccounted = NewIsAccounted();
  size_t volatile odd = 48;  // not a constant: compilers refuse a constant one
  std::array<int, 9> errors{};
  size_t called = 0;
  auto const noted = [&](void* result) {
    errors[called++] = std::exchange(errno, 0);
    return result;
  };
  HookTrace::Install();
  SetHeadroom(-1);
  Counters const before = Counters::Now();
  errno = 0;
  void* const results[] = {
      noted(mmgr_calloc(SIZE_MAX, 2)), noted(mmgr_calloc(2, SIZE_MAX / 2 + 1)),
      noted(mmgr_calloc(size_t{1} << 32, size_t{1} << 32)), noted(mmgr_aligned_alloc(0, 16)),
      noted(mmgr_aligned_alloc(odd, 100)), noted(mmgr_aligned_alloc(3, 0)),
      noted(mmgr_aligned_alloc(SIZE_MAX, 1)), noted(mmgr_aligned_alloc((size_t{1} << 63) + 64, 1)),
      noted(mmgr_aligned_alloc(4096 + 16, 4096)), FF_strdup(nullptr), FF_wcsdup(nullptr),
      mmgr_realloc(nullptr, 0),
      // An alignment no block can have reaches the operators only by a direct call.
      newAccounted ? Opaque(::operator new (1, align_val_t{odd})) : nullptr,
      newAccounted ? ::operator new[](1, align_val_t{odd - 48}, std::nothrow) : nullptr};
  mmgr_free(nullptr);
  mmgr_aligned_free(nullptr);
  ::operator delete(nullptr);
  Counters const after = Counters::Now();
  RestorePolicy();
  for (void* const result : results) EXPECT_EQ(result, nullptr);
  EXPECT_EQ(after, before);
  EXPECT_EQ(HookTrace::Count(), 0);
  EXPECT_EQ(errors,
            (std::array{ENOMEM, ENOMEM, ENOMEM, EINVAL, EINVAL, EINVAL, EINVAL, EINVAL, EINVAL}));
}

}  // namespace
