// What memmgr-run tells at the end: the summary, the timeline as CSV, the exit status.
#pragma once

#include <string>

#include "launch.h"
#include "options.h"

// The record whose figures the summary reports: the one sent at exit, or failing that the last
// sample; null when the companion never reported (the library was not loaded).
RunRecord const* FinalRecord(RunOutcome const& run);

std::string Summary(Options const& options, RunOutcome const& run);

// time_s,accounted_bytes,resident_bytes: one row per record.
std::string TimelineCsv(RunOutcome const& run);

// The program's exit status, or 128 + N when signal N ended it.
int ExitStatus(int waitStatus);

// printf into a string; for short lines (up to 511 characters).
std::string Format(char const* format, ...) __attribute__((format(printf, 1, 2)));

// "8.0 MiB" and the like.
std::string HumanBytes(double bytes);
