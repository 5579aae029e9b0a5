// The limit read from VOQ_MAXIMUM_MEMORY at load. The environment is read only once per
// process, so each case runs the probe program in a fresh child with the value it needs.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <ostream>
#include <string>

#include "child_exec.h"

namespace {

struct LimitCase {
  char const* name;
  char const* value;  // null: unset
  long long limit;
  long long settable;
  long long overallocations;  // for one 64-byte allocation; -1 where the probe's own use decides
};

// Absent, negative and digit-less values leave the host in charge of a 64 MiB limit; any
// number (after white space and '+', up to the first non-digit) fixes the limit, rounded
// down to 4096 and saturating at 32 bits.
LimitCase const kLimitCases[] = {
    {"Unset", nullptr, 0x4000000, 1, 0},
    {"Empty", "", 0x4000000, 1, 0},
    {"Word", "many", 0x4000000, 1, 0},
    {"Negative", "-5", 0x4000000, 1, 0},
    {"RoundedDown", "102500", 25 * 4096, 0, 0},
    {"SpaceAndPlus", "  +8192", 8192, 0, -1},
    {"TrailingText", "64M", 0, 0, 1},
    {"Zero", "0", 0, 0, 1},
    {"Below4096", "4095", 0, 0, 1},
    {"UInt32Max", "4294967295", 0xFFFFF000, 0, 0},
    {"Above32Bits", "99999999999", 0xFFFFF000, 0, 0},
};

void PrintTo(LimitCase const& c, std::ostream* out) { *out << c.name; }
class StartupLimit : public ::testing::TestWithParam<LimitCase> {};

TEST_P(StartupLimit, EnvironmentDecidesLimitAndWhetherHostMayChangeIt) {
  MEMMGR_SKIP_UNLESS_CHILD_EXEC();
  LimitCase const& c = GetParam();
  std::string const command =
      (c.value ? "env VOQ_MAXIMUM_MEMORY='" + std::string(c.value) + "' "
               : std::string("env -u VOQ_MAXIMUM_MEMORY ")) + MEMMGR_LIMIT_PROBE;
  SCOPED_TRACE(command);
  FILE* const probe = popen(command.c_str(), "r");
  ASSERT_NE(probe, nullptr);
  long long limit = -2, reserved = -2, settable = -2, allocated = -2, overallocations = -2,
            loadHandler = -2;
  int const fields = std::fscanf(probe, "%lld %lld %lld %lld %lld %lld", &limit, &reserved,
                                 &settable, &allocated, &overallocations, &loadHandler);
  int const status = pclose(probe);
  ASSERT_EQ(fields, 6);
  EXPECT_EQ(limit, c.limit);
  EXPECT_EQ(reserved, 0);
  EXPECT_EQ(settable, c.settable);
  // Even a zero limit only forces the request through recovery, which over-allocates.
  EXPECT_EQ(allocated, 1);
  if (c.overallocations >= 0) {
    EXPECT_EQ(overallocations, c.overallocations);
  }
  // The first Set_GTMC_MemoryFull hands back the handler held at load, which exits with 1.
  EXPECT_EQ(loadHandler, 1);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
}

INSTANTIATE_TEST_SUITE_P(Core, StartupLimit, ::testing::ValuesIn(kLimitCases),
                         [](auto const& info) { return std::string(info.param.name); });

}  // namespace
