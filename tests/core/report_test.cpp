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
#include <ostream>

#include "memmgr"

extern "C" void* __libc_malloc(size_t size);
extern "C" void* __libc_realloc(void* block, size_t size);

namespace {

std::atomic<bool> failMalloc{false};
std::atomic<bool> failRealloc{false};

constexpr int kAssertionResult = 42;

struct Report {
  std::atomic<int> count{0};
  int state = -1;
  char const* file = nullptr;
  int line = -1;
  char const* kind = nullptr;
  int level = -1;
  char const* expression = nullptr;
  char const* message = reinterpret_cast<char const*>(1);
  char const* format = nullptr;
  unsigned long allocated = 0;
  unsigned long requested = 0;
} report;

struct ExitHelperSeen {
  std::atomic<int> count{0};
  int assertionResult = -1;
  int level = -1;
} exitHelper;

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
  if (exitHelper.count.fetch_add(1) == 0) {
    exitHelper.assertionResult = assertionResult;
    exitHelper.level = level;
  }
}

}  // namespace DEFAULT_ASSERTION

namespace {

void Ignore(unsigned long) {}

// Runs in the child: counts and prints every mismatch, so the death test shows them.
class ChildChecks {
 public:
  void Equal(char const* what, unsigned long long actual, unsigned long long expected) {
    if (actual != expected) {
      std::fprintf(stderr, "%s: %llu, expected %llu\n", what, actual, expected);
      ++failures_;
    }
  }
  void Text(char const* what, char const* actual, char const* expected) {
    if (actual == nullptr || std::strcmp(actual, expected) != 0) {
      std::fprintf(stderr, "%s: \"%s\", expected \"%s\"\n", what, actual ? actual : "(null)",
                   expected);
      ++failures_;
    }
  }
  // The one report of the process, with the two figures of its first failure.
  int Report(unsigned long allocated, unsigned long requested) {
    Equal("reports", static_cast<unsigned long long>(report.count.load()), 1);
    Equal("state", static_cast<unsigned long long>(report.state), 0);
    Text("file", report.file, "");
    Equal("line", static_cast<unsigned long long>(report.line), 0);
    Text("kind", report.kind, "assert");
    Equal("level", static_cast<unsigned long long>(report.level), 1);
    Text("expression", report.expression, "false");
    Equal("message is null", report.message == nullptr, 1);
    Text("format", report.format, "GMM Transparent SysMemfull; allocated: %lu; requested: %lu.");
    Equal("allocated", report.allocated, allocated);
    Equal("requested", report.requested, requested);
    Equal("exit helpers", static_cast<unsigned long long>(exitHelper.count.load()), 1);
    Equal("exit helper result", static_cast<unsigned long long>(exitHelper.assertionResult),
          kAssertionResult);
    Equal("exit helper level", static_cast<unsigned long long>(exitHelper.level), 1);
    return failures_;
  }

 private:
  int failures_ = 0;
};

unsigned long Used() { return static_cast<unsigned long>(GTMC_GetTotalUsedMemory()); }

// SIZE_MAX rounds to 0, so the budget admits it and the system refuses it at every attempt
// of two whole sequences: still one report.
int SizeMaxAllocation() {
  Set_GTMC_MemoryFull(Ignore);
  unsigned long const used = Used();
  ChildChecks checks;
  checks.Equal("first result", mmgr_malloc(SIZE_MAX) == nullptr, 1);
  checks.Equal("second result", mmgr_malloc(SIZE_MAX) == nullptr, 1);
  return checks.Report(used, 0);
}

int NormalAllocationRefusedBySystem() {
  Set_GTMC_MemoryFull(Ignore);
  unsigned long const used = Used();
  failMalloc = true;
  void* const block = mmgr_malloc(1000);
  failMalloc = false;
  ChildChecks checks;
  checks.Equal("result", block == nullptr, 1);
  checks.Equal("total", Used(), used);
  return checks.Report(used, 1008);
}

// A resize reports the total as it would be after it, and the rounded growth.
int ResizeRefusedBySystem() {
  Set_GTMC_MemoryFull(Ignore);
  void* const block = mmgr_malloc(100);
  if (block == nullptr) return 99;
  std::memset(block, 0x44, 100);
  unsigned long const old = mmgr_malloc_usable_size(block);
  unsigned long const used = Used();
  failRealloc = true;
  void* const resized = mmgr_realloc(block, 5000);
  failRealloc = false;
  ChildChecks checks;
  checks.Equal("result", resized == nullptr, 1);
  checks.Equal("total", Used(), used);
  checks.Equal("old block kept", static_cast<unsigned char*>(block)[99], 0x44);
  int const failures = checks.Report(used - old + 5008, 5008 - old);
  mmgr_free(block);
  return failures;
}

int NewBlockThroughResizeRefusedBySystem() {
  Set_GTMC_MemoryFull(Ignore);
  unsigned long const used = Used();
  failRealloc = true;
  void* const block = mmgr_realloc(nullptr, 1000);
  failRealloc = false;
  ChildChecks checks;
  checks.Equal("result", block == nullptr, 1);
  return checks.Report(used + 1008, 1008);
}

struct Scenario {
  char const* name;
  int (*run)();
};

void PrintTo(Scenario const& scenario, std::ostream* out) { *out << scenario.name; }

class FailureReport : public ::testing::TestWithParam<Scenario> {};

TEST_P(FailureReport, IssuedOnceWithTheFiguresOfTheFirstFailure) {
  EXPECT_EXIT(std::_Exit(GetParam().run()), ::testing::ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(
    Core, FailureReport,
    ::testing::Values(Scenario{"SizeMaxAllocation", SizeMaxAllocation},
                      Scenario{"NormalAllocation", NormalAllocationRefusedBySystem},
                      Scenario{"Resize", ResizeRefusedBySystem},
                      Scenario{"NewBlockThroughResize", NewBlockThroughResizeRefusedBySystem}),
    [](::testing::TestParamInfo<Scenario> const& info) { return std::string(info.param.name); });

}  // namespace
