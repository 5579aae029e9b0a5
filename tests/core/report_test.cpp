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
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "memmgr"

extern "C" void* __libc_malloc(size_t size);
extern "C" void* __libc_realloc(void* block, size_t size);

namespace {

std::atomic<bool> failMalloc{false};
std::atomic<bool> failRealloc{false};
constexpr int kAssertionResult = 42;

struct Report {
  std::atomic<int> count{0};
  int state = -1, line = -1, level = -1;
  char const* file = nullptr;
  char const* kind = nullptr;
  char const* expression = nullptr;
  char const* message = "not null";
  char const* format = nullptr;
  unsigned long allocated = 0, requested = 0;
  std::atomic<int> exitHelpers{0};
  int exitResult = -1, exitLevel = -1;
} report;

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
  if (report.count.fetch_add(1) == 0) {
    report.state = state;
    report.file = file;
    report.line = line;
    report.kind = kind;
    report.level = level;
    report.expression = expression;
    report.message = message;
    report.format = format;
    va_list arguments;
    va_start(arguments, format);
    report.allocated = va_arg(arguments, unsigned long);
    report.requested = va_arg(arguments, unsigned long);
    va_end(arguments);
  }
  return kAssertionResult;
}

EXIT_HELPER::~EXIT_HELPER() {
  if (report.exitHelpers.fetch_add(1) == 0) {
    report.exitResult = assertionResult;
    report.exitLevel = level;
  }
}

}  // namespace DEFAULT_ASSERTION

namespace {

// Runs in the child: prints every mismatch, so the death test shows it, and counts them.
int failures = 0;
void Check(bool ok, char const* what) {
  if (!ok) {
    std::fprintf(stderr, "failed: %s\n", what);
    ++failures;
  }
}
bool Same(char const* actual, char const* expected) {
  return actual != nullptr && std::strcmp(actual, expected) == 0;
}

// The one report of the process, with the two figures of its first failure.
int CheckReport(unsigned long allocated, unsigned long requested) {
  Check(report.count == 1 && report.exitHelpers == 1, "exactly one report and exit helper");
  Check(report.state == 0 && Same(report.file, "") && report.line == 0, "state, file, line");
  Check(Same(report.kind, "assert") && report.level == 1, "kind, level");
  Check(Same(report.expression, "false") && report.message == nullptr, "expression, message");
  Check(Same(report.format, "GMM Transparent SysMemfull; allocated: %lu; requested: %lu."),
        "format");
  Check(report.exitResult == kAssertionResult && report.exitLevel == 1, "exit helper arguments");
  if (report.allocated != allocated || report.requested != requested) {
    std::fprintf(stderr, "figures %lu, %lu; expected %lu, %lu\n", report.allocated,
                 report.requested, allocated, requested);
    ++failures;
  }
  return failures;
}

void Ignore(unsigned long) {}
unsigned long Used() { return static_cast<unsigned long>(GTMC_GetTotalUsedMemory()); }

// SIZE_MAX rounds to 0, so the budget admits it and the system refuses it at every attempt
// of two whole sequences: still one report.
int SizeMaxAllocation() {
  unsigned long const used = Used();
  Check(mmgr_malloc(SIZE_MAX) == nullptr && mmgr_malloc(SIZE_MAX) == nullptr, "null results");
  return CheckReport(used, 0);
}

int NewBlockRefusedBySystem() {
  unsigned long const used = Used();
  failMalloc = true;
  void* const block = mmgr_malloc(1000);
  failMalloc = false;
  Check(block == nullptr && Used() == used, "null, nothing accounted");
  return CheckReport(used, 1008);
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
  Check(resized == nullptr && Used() == used && block[99] == 0x44, "old block kept");
  return CheckReport(used - old + 5008, 5008 - old);
}

int NewBlockThroughResizeRefusedBySystem() {
  unsigned long const used = Used();
  failRealloc = true;
  void* const block = mmgr_realloc(nullptr, 1000);
  failRealloc = false;
  Check(block == nullptr, "null result");
  return CheckReport(used + 1008, 1008);
}

struct Scenario {
  char const* name;
  int (*run)();
};
void PrintTo(Scenario const& scenario, std::ostream* out) { *out << scenario.name; }

class FailureReport : public ::testing::TestWithParam<Scenario> {};

TEST_P(FailureReport, IssuedOnceWithTheFiguresOfTheFirstFailure) {
  EXPECT_EXIT(
      {
        Set_GTMC_MemoryFull(Ignore);
        std::_Exit(GetParam().run());
      },
      ::testing::ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(
    Core, FailureReport,
    ::testing::Values(Scenario{"SizeMaxAllocation", SizeMaxAllocation},
                      Scenario{"NormalAllocation", NewBlockRefusedBySystem},
                      Scenario{"Resize", ResizeRefusedBySystem},
                      Scenario{"NewBlockThroughResize", NewBlockThroughResizeRefusedBySystem}),
    [](auto const& info) { return std::string(info.param.name); });

}  // namespace
