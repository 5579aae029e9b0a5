// The one-time report of a system-allocator failure, as the base library receives it.
//
// This executable replaces lib_base's assertion entry points with recorders, and the system
// malloc/realloc with versions that fail while armed. A process reports once in its life, so
// each case provokes its failures in a forked child (a death test that must exit 0) and the
// child checks what was recorded; the parent itself never fails an allocation.
#include <default_assertion.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "memmgr"

extern "C" void* __libc_malloc(size_t size);
extern "C" void* __libc_realloc(void* block, size_t size);

namespace {
std::atomic<bool> failMalloc{false};
std::atomic<bool> failRealloc{false};
std::atomic<int> reports{0};
std::atomic<int> exitHelpers{0};
char report[512];  // every argument of the first report, the formatted figures included
}  // namespace

extern "C" void* malloc(size_t size) noexcept {
  return failMalloc.load() ? nullptr : __libc_malloc(size);
}
extern "C" void* realloc(void* block, size_t size) noexcept {
  return failRealloc.load() ? nullptr : __libc_realloc(block, size);
}

namespace DEFAULT_ASSERTION {

int DISPATCHER_WRAPPER::Assertion(ASSERT_STATE state, char const* file, int line, char const* kind,
                                  ASSERT_LEVEL level, char const* expression, char const* message,
                                  char const* format, ...) {
  if (reports.fetch_add(1) != 0) return 42;
  int const n = std::snprintf(report, sizeof report, "%d|%s|%d|%s|%d|%s|%s|%s|", state, file,
                              line, kind, level, expression, message ? message : "(null)", format);
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(report + n, sizeof report - static_cast<size_t>(n), format, arguments);
  va_end(arguments);
  return 42;
}

EXIT_HELPER::~EXIT_HELPER() {
  // The base library decides here whether the process goes on, given the assertion's result.
  if (assertionResult == 42 && level == 1) exitHelpers.fetch_add(1);
}

}  // namespace DEFAULT_ASSERTION

namespace {

// Runs in the child: 0 when the one report of the process carries the two figures of its
// first failure; otherwise prints the difference, so the death test shows it.
int CheckReport(bool resultsOk, unsigned long allocated, unsigned long requested) {
  char expected[512];
  std::snprintf(expected, sizeof expected,
                "0||0|assert|1|false|(null)|GMM Transparent SysMemfull; allocated: %%lu; "
                "requested: %%lu.|GMM Transparent SysMemfull; allocated: %lu; requested: %lu.",
                allocated, requested);
  bool const ok = resultsOk && reports == 1 && exitHelpers == 1 && std::strcmp(report, expected) == 0;
  if (!ok) {
    std::fprintf(stderr, "results %d, %d reports, %d exit helpers\n%s\nexpected\n%s\n",
                 resultsOk, reports.load(), exitHelpers.load(), report, expected);
  }
  return ok ? 0 : 1;
}

unsigned long Used() { return static_cast<unsigned long>(GTMC_GetTotalUsedMemory()); }

// SIZE_MAX rounds to 0, so the budget admits it and the system refuses it at every attempt
// of two whole sequences: still one report.
int SizeMaxAllocation() {
  unsigned long const used = Used();
  bool const ok = mmgr_malloc(SIZE_MAX) == nullptr && mmgr_malloc(SIZE_MAX) == nullptr;
  return CheckReport(ok, used, 0);
}

int NewBlockRefusedBySystem() {
  unsigned long const used = Used();
  failMalloc = true;
  void* const block = mmgr_malloc(1000);
  failMalloc = false;
  return CheckReport(block == nullptr && Used() == used, used, 1008);
}

// A resize reports the total as it would be after it, and the rounded growth.
int ResizeRefusedBySystem() {
  auto* const block = static_cast<unsigned char*>(mmgr_malloc(100));
  std::memset(block, 0x44, 100);
  unsigned long const old = mmgr_malloc_usable_size(block);
  unsigned long const used = Used();
  failRealloc = true;
  void* const resized = mmgr_realloc(block, 5000);
  failRealloc = false;
  bool const kept = resized == nullptr && Used() == used && block[99] == 0x44;
  return CheckReport(kept, used - old + 5008, 5008 - old);
}

int NewBlockThroughResizeRefusedBySystem() {
  unsigned long const used = Used();
  failRealloc = true;
  void* const block = mmgr_realloc(nullptr, 1000);
  failRealloc = false;
  return CheckReport(block == nullptr, used + 1008, 1008);
}

void Ignore(unsigned long) {}

TEST(CoreFailureReport, IssuedOnceWithTheFiguresOfTheFirstFailure) {
  for (int (*const scenario)() : {SizeMaxAllocation, NewBlockRefusedBySystem, ResizeRefusedBySystem,
                                  NewBlockThroughResizeRefusedBySystem}) {
    // A child of its own for each: the report is once per process.
    EXPECT_EXIT((Set_GTMC_MemoryFull(Ignore), std::_Exit(scenario())),
                ::testing::ExitedWithCode(0), "");
  }
}

}  // namespace
