// Starting the program with the library and the companion preloaded, and gathering the
// records the companion sends until the program ends.
#pragma once

#include <sys/resource.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "options.h"
#include "run_record.h"

struct Preload {
  std::string library, companion;
};

// The library this tool runs with and the companion installed beside it; the reason when
// either cannot be preloaded.
std::optional<std::string> FindPreload(Preload& preload);

struct RunOutcome {
  int execError = 0;  // errno when PROGRAM could not be started; nothing else is then set
  int status = 0;     // as wait4 reports it
  rusage usage{};
  int64_t start = 0, end = 0;      // CLOCK_MONOTONIC ns around the program's life
  std::vector<RunRecord> records;  // in the order sent
};

RunOutcome RunUnderBudget(Options const& options, Preload const& preload);
