// SPDX-License-Identifier: Apache-2.0
// The timeline drawn as a PNG by gnuplot.
#pragma once

#include <optional>
#include <string>

#include "report/timeline.h"
#include "run/launch.h"
#include "run/options.h"

// Whether gnuplot can be run.
bool HaveGnuplot();

// What gnuplot is given to draw the timeline: commands and data.
std::string ChartScript(Options const& options, RunOutcome const& run, Timeline const& timeline);

// Draws the timeline into `png`; the reason when it could not.
std::optional<std::string> DrawChart(Options const& options, RunOutcome const& run,
                                     Timeline const& timeline, std::string& png);
