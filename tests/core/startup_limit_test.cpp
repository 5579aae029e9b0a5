// The limit read from VOQ_MAXIMUM_MEMORY at load. The environment is read only once per
// process, so each case runs the probe program in a fresh child with the value it needs.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "child_exec.h"

namespace {

struct ProbeResult {
  long long limit = -2;
  long long reserved = -2;
  int settable = -1;
  int allocated = -1;
  int overallocations = -1;
  int loadHandler = -1;
  int exitStatus = -1;
  std::string output;
};

// Runs the probe with VOQ_MAXIMUM_MEMORY set to `value`, or unset when `value` is null.
ProbeResult RunProbe(char const* value) {
  ProbeResult result;
  // Everything the child needs is built before the fork.
  std::string const assignment = std::string("VOQ_MAXIMUM_MEMORY=") + (value ? value : "");
  std::vector<char*> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, "VOQ_MAXIMUM_MEMORY=", 19) != 0) environment.push_back(*entry);
  }
  if (value != nullptr) environment.push_back(const_cast<char*>(assignment.c_str()));
  environment.push_back(nullptr);
  char probe[] = MEMMGR_LIMIT_PROBE;
  char* arguments[] = {probe, nullptr};
  int fds[2];
  if (pipe(fds) != 0) return result;
  pid_t const child = fork();
  if (child == 0) {
    dup2(fds[1], STDOUT_FILENO);
    close(fds[0]);
    close(fds[1]);
    execve(probe, arguments, environment.data());
    _exit(127);
  }
  close(fds[1]);
  char buffer[512];
  ssize_t n = 0;
  while ((n = read(fds[0], buffer, sizeof buffer)) > 0) {
    result.output.append(buffer, static_cast<size_t>(n));
  }
  close(fds[0]);
  int status = 0;
  if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status)) {
    result.exitStatus = WEXITSTATUS(status);
  }
  std::sscanf(result.output.c_str(),
              "limit=%lld reserved=%lld settable=%d allocated=%d overallocations=%d "
              "loadHandler=%d",
              &result.limit, &result.reserved, &result.settable, &result.allocated,
              &result.overallocations, &result.loadHandler);
  return result;
}

constexpr long long kDefaultLimit = 0x4000000;
constexpr int kAny = -1;

struct LimitCase {
  char const* name;
  char const* value;  // null: unset
  long long limit;
  bool settable;
  int overallocations;  // for one 64-byte allocation; kAny where the probe's own use decides
};

// Absent, negative and digit-less values leave the host in charge of a 64 MiB limit; any
// number (after white space and '+', up to the first non-digit) fixes the limit, rounded
// down to 4096 and saturating at 32 bits.
LimitCase const kLimitCases[] = {
    {"Unset", nullptr, kDefaultLimit, true, 0},
    {"Empty", "", kDefaultLimit, true, 0},
    {"Word", "many", kDefaultLimit, true, 0},
    {"Negative", "-5", kDefaultLimit, true, 0},
    {"RoundedDown", "102500", 25 * 4096, false, 0},
    {"SpaceAndPlus", "  +8192", 8192, false, kAny},
    {"TrailingText", "64M", 0, false, 1},
    {"Zero", "0", 0, false, 1},
    {"One", "1", 0, false, 1},
    {"Below4096", "4095", 0, false, 1},
    {"OnePage", "4096", 4096, false, kAny},
    {"UInt32Max", "4294967295", 0xFFFFF000, false, 0},
    {"Above32Bits", "99999999999", 0xFFFFF000, false, 0},
};

void PrintTo(LimitCase const& c, std::ostream* out) { *out << c.name; }

class StartupLimit : public ::testing::TestWithParam<LimitCase> {};

TEST_P(StartupLimit, EnvironmentDecidesLimitAndWhetherHostMayChangeIt) {
  MEMMGR_SKIP_UNLESS_CHILD_EXEC();
  LimitCase const& c = GetParam();
  ProbeResult const r = RunProbe(c.value);
  SCOPED_TRACE("VOQ_MAXIMUM_MEMORY=" + std::string(c.value ? c.value : "<unset>") +
               " probe said: " + r.output);
  EXPECT_EQ(r.limit, c.limit);
  EXPECT_EQ(r.reserved, 0);
  EXPECT_EQ(r.settable, c.settable ? 1 : 0);
  // Even a zero limit only forces the request through recovery, which over-allocates.
  EXPECT_EQ(r.allocated, 1);
  if (c.overallocations != kAny) {
    EXPECT_EQ(r.overallocations, c.overallocations);
  }
  // The first Set_GTMC_MemoryFull hands back the handler held at load, which exits with 1.
  EXPECT_EQ(r.loadHandler, 1);
  EXPECT_EQ(r.exitStatus, 1);
}

INSTANTIATE_TEST_SUITE_P(Core, StartupLimit, ::testing::ValuesIn(kLimitCases),
                         [](::testing::TestParamInfo<LimitCase> const& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
