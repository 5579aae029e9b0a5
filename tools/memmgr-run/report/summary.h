// SPDX-License-Identifier: Apache-2.0
// What memmgr-run tells at the end: the summary and the exit status.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "run/launch.h"
#include "run/options.h"

// The figures the summary reports: the companion's record of the exit (or of the exec), or
// failing that the last reading from outside; the peak the highest any of them showed.
// Nothing when none was had.
std::optional<RunFigures> ReportedFigures(RunOutcome const& run);

// When the reported peak was reached, in seconds since the start: the last moment the
// companion noted, when the peak is no more than its margin above the total then (the peak
// itself may have come later, no higher than that). Nothing when no moment tells it: none was
// noted, or the program armed the pressure signal for itself and later heights went unnoted.
std::optional<double> PeakSeconds(RunOutcome const& run);

// The program's peak resident size in bytes (-1 when not known), and where the figure comes
// from, as the summary says it.
struct PeakResidentFigure {
  int64_t bytes;
  std::string source;
};
PeakResidentFigure PeakResident(RunOutcome const& run);

std::string Summary(Options const& options, RunOutcome const& run);

// The program's exit status, or 128 + N when signal N ended it.
int ExitStatus(int waitStatus);

// What became of each signal the tool received: "SIGTERM relayed once; SIGINT from the
// terminal reached the program directly".
std::string SignalsTold(RunOutcome const& run);
