// SPDX-License-Identifier: Apache-2.0
// The command line of memmgr-run.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The mean number of accounted bytes between two sampled call stacks.
inline constexpr int64_t kDefaultSampleInterval = 8 * 1024;

struct Options {
  std::optional<int64_t> limit;     // none: the budget is lifted
  std::optional<int64_t> pressure;  // threshold of the pressure signal
  int intervalMs = 10;
  std::string csv, plot, report;  // empty: not asked for
  std::string sites;              // --sites FILE; empty: no sampling
  int64_t sampleInterval = kDefaultSampleInterval;
  char** program = nullptr;  // PROGRAM and its arguments, null-terminated
  bool help = false;
  bool version = false;
};

// Bytes with an optional K, M or G (powers of 1024, either case); nothing for anything else,
// including values above INT64_MAX.
std::optional<int64_t> ParseSize(std::string_view text);

// Fills `options` from argv; on bad input returns the message to print above the usage.
std::optional<std::string> ParseOptions(int argc, char** argv, Options& options);

extern char const kUsage[];
