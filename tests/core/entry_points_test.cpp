// SPDX-License-Identifier: Apache-2.0
// Every allocating entry point against the budget: a request that fits is accounted at its
// usable size; one that does not goes through the recovery sequence the header documents (the
// hook asked for the request, 1.5 times it and everything, over-allocation told to its
// callback, the memory-full handler fired once, 512 more rounds, then null with ENOMEM);
// impossible requests give up at once (empty ones too: the fuzzer's checks hold them to it);
// failures of the system allocator are survived, never accounted and reported once per
// process. The rows of the tables below spell out the hook calls a caller sees, in order.
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

#include "memmgr_test.h"

namespace {
bool armed = false;
int64_t calls = 0, failFirst = 0, failLast = -1;
int reports = 0, exitHelpers = 0;
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

// Each stands in for the one of the same signature, failing as chosen.
template <typename Result, typename... Arguments>
Result Pass(char const* name, Result failed, Arguments... arguments) {
  static auto* const next = Next<Result(Arguments...)>(name);
  if (Fail() || next == nullptr) return failed;
  InsideSystemAllocator const inside;
  return next(arguments...);
}
}  // namespace

extern "C" void* malloc(size_t size) noexcept { return Pass<void*>("malloc", nullptr, size); }
extern "C" void* realloc(void* block, size_t size) noexcept {
  return Pass<void*>("realloc", nullptr, block, size);
}
extern "C" void* calloc(size_t count, size_t size) noexcept {
  return Pass<void*>("calloc", nullptr, count, size);
}
extern "C" int posix_memalign(void** out, size_t alignment, size_t size) noexcept {
  return Pass("posix_memalign", ENOMEM, out, alignment, size);
}
#endif

namespace DEFAULT_ASSERTION {
int DISPATCHER_WRAPPER::Assertion(ASSERT_STATE state, char const* file, int line, char const* kind,
                                  ASSERT_LEVEL level, char const* expression, char const* message,
                                  char const* format, ...) {
  if (reports == 0) {
    int const n =
        std::snprintf(firstReport, sizeof firstReport, "%d|%s|%d|%s|%d|%s|%s|%s|", state, file,
                      line, kind, level, expression, message ? message : "(null)", format);
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(firstReport + n, sizeof firstReport - static_cast<size_t>(n), format, arguments);
    va_end(arguments);
  }
  return ++reports + 41;
}
EXIT_HELPER::~EXIT_HELPER() {
  // The base library decides here, from the assertion's result, whether the process goes on.
  if (assertionResult == reports + 41 && level == 1) ++exitHelpers;
}
}  // namespace DEFAULT_ASSERTION

namespace {

using std::align_val_t;
using Event = HookTrace::Event;

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
  size_t resizeFrom = 0;  // a resize of a block of this many bytes (SIZE_MAX: from null)
  size_t alignment = 16;  // what every block it returns is aligned to
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
    {.name = "strdup", .allocate = CopyText},
    {.name = "wcsdup", .allocate = CopyWide},
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

// Every call below asks for 100 bytes, which the budget counts as 112. What the hooks are
// told, as the header documents it: the garbage-collect hook is asked for the request (kAsk),
// 1.5 times it (kMore) or everything (kAll); the memory-full handler is told the request; kOver
// stands for what the entry's over-allocation callback is told (for a new block the request
// and the total before it, for a resize the growth and the total after it; the limit to both).
constexpr size_t kRequest = 100;
Event const kAsk{kCollect, 100}, kMore{kCollect, 150}, kAll{kCollect, SIZE_MAX},
    kFull{kMemoryFull, 100}, kOver{kOverallocation, 0};
std::vector<Event> Rounds(std::vector<Event> events, int rounds) {
  events.insert(events.end(), rounds, kAll);
  return events;
}
// Refused throughout: three collections, a full one before and after the handler, then 512
// rounds that each end with a collection.
std::vector<Event> const kRefused = Rounds({kAsk, kMore, kAll, kAll, kFull, kAll}, 512);

// What the host installed: the recording hooks, or one of them changed.
enum Hooks { kRecorders, kHookFreesReserve, kHookRemovesItself, kNoHook, kNullHandler };
void* reserve = nullptr;  // what kHookFreesReserve gives back at its first call
int FreeReserve(size_t amount) {
  mmgr_free(std::exchange(reserve, nullptr));
  return HookTrace::OnCollect(amount);
}
int RemoveItself(size_t amount) {
  GTMC_GarbageCollect = nullptr;
  return HookTrace::OnCollect(amount);
}

// A row: the budget a call meets, then what its caller sees.
struct Budget {
  char const* name;
  int64_t headroom;  // the limit above the total the call would leave: 0 fits exactly
  bool overallocation;
  Hooks hooks;
  std::vector<Event> trace;  // what the hooks are told, in order (kFull for a null handler too)
  bool admitted;             // a block comes back
  int64_t failing = 0, systemCalls = 0;  // system-allocator calls failing from the first; made
};
Budget const kBudgets[] = {
    {"fits exactly", 0, false, kRecorders, {}, true},
    {"one byte short", -1, false, kRecorders, kRefused, false},
    {"over by 8 KiB, over-allocated", -8192, true, kRecorders, {kAsk, kMore, kAll, kOver}, true},
    {"hook frees enough", -1, false, kHookFreesReserve, {kAsk}, true},
    {"no hook", -1, false, kNoHook, {kFull}, false},
    {"no hook, over-allocated", -1, true, kNoHook, {kOver}, true},
    {"hook removes itself", -1, false, kHookRemovesItself, {kAsk, kFull}, false},
    {"null handler", -1, false, kNullHandler, kRefused, false},
};
// Room to spare but in the last row: only the system allocator refuses. There the block
// admitted over the limit cannot be had, and the first round admits it again.
constexpr int64_t kRoom = 1 << 20;
std::vector<Event> const kOverTwice = {kAsk, kMore, kAll, kOver, kAll, kFull, kAll, kOver};
Budget const kSystemFailures[] = {
    {"system fails once", kRoom, false, kRecorders, {kAsk}, true, 1, 2},
    {"system fails twice", kRoom, true, kRecorders, {kAsk, kMore, kAll}, true, 2, 3},
    // The last of the 512 rounds gets the block.
    {"system fails 514 times", kRoom, true, kRecorders,
     Rounds({kAsk, kMore, kAll, kAll, kFull, kAll}, 511), true, 514, 515},
    {"system fails throughout", kRoom, true, kRecorders, kRefused, false, INT64_MAX, 515},
    {"over the limit, system fails once", -1, true, kRecorders, kOverTwice, true, 1, 2},
};

class EntryPoints : public BudgetTest {
 protected:
  // Calls `check(entry, cFamily)` for every entry point: the C family, and the operators where
  // they are the library's.
  template <typename Check>
  static void ForEachEntry(Check check) {
    std::memset(text, 'x', 200);
    std::wmemset(wide, L'w', 50);
    using Table = std::span<Entry const>;
    for (Table const entries : {Table(kEntries), NewIsAccounted() ? Table(kOperators) : Table()}) {
      for (Entry const& e : entries) {
        SCOPED_TRACE(e.name);
        check(e, entries.data() == kEntries);
      }
    }
  }
  static unsigned char* BlockToResize(Entry const& e) {
    if (e.resizeFrom == 0 || e.resizeFrom == SIZE_MAX) return nullptr;
    return static_cast<unsigned char*>(std::memset(mmgr_malloc(e.resizeFrom), 0x5A, e.resizeFrom));
  }

  // One call of `e` for kRequest bytes under `b`, checked against the row, with what holds
  // for every call: the counters move by the usable size of what came back (less what the
  // hook released), the library counts what the hooks saw, the one raising step signals an
  // armed pressure threshold and sets the peak, a resize keeps the contents it can, and the
  // block goes back through the matching release.
  void Check(Entry const& e, Budget const& b, bool cFamily) {
    SCOPED_TRACE(b.name);
    unsigned char* const from = BlockToResize(e);
    int64_t const old = Usable(from), need = 112 - old;  // what the budget test adds
    if (b.hooks == kHookFreesReserve) reserve = mmgr_malloc(64 << 10);
    int64_t const reserved = Usable(reserve);
    HookTrace::Install();
    GarbageCollectHook const hooks[] = {&HookTrace::OnCollect, &FreeReserve, &RemoveItself, nullptr,
                                        &HookTrace::OnCollect};  // by Hooks
    GTMC_GarbageCollect = hooks[b.hooks];
    if (b.hooks == kNullHandler) Set_GTMC_MemoryFull(nullptr);
    GMM_EnableOverallocation(b.overallocation);
    GTMC_ResetPeakUsedMemory();
    GTMC_SetMemoryPressureCallback(0, &HookTrace::OnPressure);
    int64_t const used = GTMC_GetTotalUsedMemory(), limit = used + need + b.headroom;
    GTMC_SetMemoryAllocationRules(limit);
    RecoveryCounts const countsBefore = RecoveryCounts::Now();
    Counters const before = Counters::Now();
    failFirst = 1, failLast = b.failing, calls = 0, armed = true;
    errno = 0;
    void* const result = e.allocate(from, kRequest);
    int const error = errno;
    armed = false;
    Counters const change = Counters::Now() - before;
    RecoveryCounts const counted = RecoveryCounts::Now() - countsBefore;
    int64_t const peak = GTMC_GetPeakUsedMemory();
    GTMC_SetMemoryPressureCallback(-1, nullptr);
    RestorePolicy();

    std::vector<Event> expected;
    for (Event const& event : b.trace) {
      if (event.kind == kOverallocation) {
        bool const resize = e.resizeFrom != 0;
        expected.push_back({kOverallocation, resize ? size_t(need) : kRequest,
                            resize ? used + need : used, limit});
      } else if (event.kind != kMemoryFull || b.hooks != kNullHandler) {
        expected.push_back(event);
      }
    }
    int64_t const step = result != nullptr ? Usable(result) - old : 0;
    if (step > 0) expected.push_back({kPressure, 0, used + change.used, 0});
    auto const count = [&b](HookKind kind) {
      return std::count_if(b.trace.begin(), b.trace.end(),
                           [kind](auto& x) { return x.kind == kind; });
    };
    EXPECT_EQ(result != nullptr, b.admitted);
    EXPECT_EQ(HookTrace::Events(), expected);
    EXPECT_EQ(counted.collections, count(kCollect));
    EXPECT_EQ(counted.overallocations, count(kOverallocation));
    EXPECT_EQ(counted.memoryFullEvents, count(kMemoryFull));
    EXPECT_EQ(change, Delta(step - (reserved - Usable(reserve))));
    EXPECT_EQ(peak, std::max(used, used + change.used));
    if (cFamily && result == nullptr) {
      EXPECT_EQ(error, ENOMEM);
    }
    if (b.failing != 0) {
      EXPECT_EQ(calls, b.systemCalls);
    }
    EXPECT_EQ(reinterpret_cast<uintptr_t>(result) % e.alignment, 0u);
    if (from != nullptr) {
      auto const* const kept = result != nullptr ? static_cast<unsigned char*>(result) : from;
      EXPECT_EQ(kept[std::min(e.resizeFrom, kRequest) - 1], 0x5A);
    }

    mmgr_free(std::exchange(reserve, nullptr));
    if (result == nullptr) mmgr_free(from);
    int64_t const usable = Usable(result);
    Counters const held = Counters::Now();
    e.release(result);
    EXPECT_EQ(Counters::Now() - held, Delta(-usable));
  }
};

TEST_F(EntryPoints, EveryEntryUnderEveryBudget) {
  for (Budget const& b : kBudgets) ForEachEntry([&](Entry const& e, bool c) { Check(e, b, c); });
}

// The budget goes by the request rounded up to 16 at every distance from a multiple of 16: the
// limit the rounded request meets exactly admits it, one byte less refuses it, down to a limit
// at the lowest value the total can be compared with.
TEST_F(EntryPoints, TheRoundedRequestDecidesAtEveryDistanceFromTheLimit) {
  HookTrace::Install();
  GMM_EnableOverallocation(false);
  std::vector<size_t> wrong;
  for (size_t size = 1; size <= 48; ++size) {
    auto const rounded = static_cast<int64_t>((size + 15) & ~size_t{15});
    SetHeadroom(rounded - 1);
    if (void* const block = mmgr_malloc(size)) wrong.push_back(size), mmgr_free(block);
    SetHeadroom(rounded);
    void* const block = mmgr_malloc(size);
    if (block == nullptr) wrong.push_back(size);
    mmgr_free(block);
  }
  int64_t const lowest[] = {INT64_MIN, INT64_MIN + 13, INT64_MIN + 14};
  for (int64_t const limit : lowest) {
    GTMC_SetMemoryAllocationRules(limit);
    if (void* const block = mmgr_malloc(1)) wrong.push_back(0), mmgr_free(block);
  }
  RestorePolicy();
  EXPECT_EQ(wrong, std::vector<size_t>{})
      << "sizes admitted or refused wrongly (0: the lowest limits)";
}

// Runs `body` in a child process of the death test, where the one report of a process can be
// checked afresh. A child reports no failure of its own, so they are caught here and written
// to stderr, which the parent shows when the child's status is not 0.
template <typename Body>
void InChild(Body body) {
  testing::TestPartResultArray failures;
  {
    testing::ScopedFakeTestPartResultReporter const catchFailures(
        testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &failures);
    body();
  }
  for (int i = 0; i < failures.size(); ++i) {
    testing::TestPartResult const& failure = failures.GetTestPartResult(i);
    std::fprintf(stderr, "%s:%d: %s\n", failure.file_name() ? failure.file_name() : "?",
                 failure.line_number(), failure.message());
  }
  _exit(failures.size() == 0 ? 0 : 1);
}

// In a fresh child each, where the process's one report is made afresh: the first failure, of a
// new block or of a resize, is reported with every argument and its figures (for a new block the
// total before it and the request rounded up to 16, for a resize the total after it and the
// growth over the old usable size; the retry after the first collection fails too, unreported);
// then every entry point under every system failure, none of them reported again.
TEST_F(EntryPoints, EverySystemFailureIsSurvivedAndNeverAccounted) {
  if (!kInjectsFailures) GTEST_SKIP() << "the sanitizer runtime owns malloc";
  for (bool const resize : {false, true}) {
    auto const all = [this, resize] {
      void* const old = resize ? mmgr_malloc(40) : nullptr;
      int64_t const growth = 112 - Usable(old), used = GTMC_GetTotalUsedMemory();
      failFirst = 1, failLast = 2, calls = 0, armed = true;
      void* const block = resize ? mmgr_realloc(old, kRequest) : mmgr_malloc(kRequest);
      armed = false;
      char expected[512];
      std::snprintf(expected, sizeof expected,
                    "0||0|assert|1|false|(null)|GMM Transparent SysMemfull; allocated: %%lu; "
                    "requested: %%lu.|GMM Transparent SysMemfull; allocated: %lld; requested: "
                    "%lld.",
                    static_cast<long long>(resize ? used + growth : used),
                    static_cast<long long>(resize ? growth : 112));
      EXPECT_NE(block, nullptr);
      EXPECT_STREQ(firstReport, expected);
      mmgr_free(block);
      for (Budget const& b : kSystemFailures) {
        ForEachEntry([&](Entry const& e, bool c) { Check(e, b, c); });
      }
      EXPECT_EQ(reports, 1);  // of hundreds of failures, the first
      EXPECT_EQ(exitHelpers, 1);
    };
    EXPECT_EXIT(InChild(all), testing::ExitedWithCode(0), "") << (resize ? "resize" : "new");
  }
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
  Counters const after = Counters::Now();
  RestorePolicy();
  for (void* const result : results) EXPECT_EQ(result, nullptr);
  EXPECT_EQ(after, before);
  EXPECT_EQ(HookTrace::Count(), 0);
  EXPECT_EQ(errors,
            (std::array{ENOMEM, ENOMEM, ENOMEM, EINVAL, EINVAL, EINVAL, EINVAL, EINVAL, EINVAL}));
}

}  // namespace
