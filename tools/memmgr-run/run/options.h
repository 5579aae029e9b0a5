// SPDX-License-Identifier: Apache-2.0
// The command line of memmgr-run.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

struct Options {
  std::optional<int64_t> limit;     // none: the budget is lifted
  std::optional<int64_t> pressure;  // threshold of the pressure signal
  int intervalMs = 10;
  std::string csv, plot, report;      // empty: not asked for
  std::string sites;                  // --sites FILE; empty: no sampling
  int64_t sampleInterval = 8 * 1024;  // mean accounted bytes between two sampled stacks
  char** program = nullptr;           // PROGRAM and its arguments, null-terminated
  bool help = false;
  bool version = false;
};

// Fills `options` from argv; on bad input returns the message to print above the usage.
std::optional<std::string> ParseOptions(int argc, char** argv, Options& options);

extern char const kUsage[];
