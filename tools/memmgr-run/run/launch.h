// SPDX-License-Identifier: Apache-2.0
// Starting the program with the library and the companion preloaded, and watching it from
// outside until it ends: a sample every interval (figures read from its memory, resident size
// from /proc), the signals the tool receives relayed unless the program already had them, its
// stops followed, and the page the companion leaves for the end.
#pragma once

#include <sys/resource.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "run/options.h"
#include "run/program_image.h"
#include "run/run_page.h"
#include "run/signal_relay.h"
#include "run/spawn.h"

// One reading from outside.
struct Sample {
  double seconds;     // since the program started
  int64_t accounted;  // -1: not known (not read, or nothing accounted)
  int64_t resident;   // -1: not known
};

struct Preload {
  std::string library, companion, sampler;
};

// The library this tool runs with and the companion (and with `withSampler` the site sampler)
// installed beside it; the reason when any cannot be preloaded.
std::optional<std::string> FindPreload(Preload& preload, bool withSampler);

struct RunOutcome {
  int execError = 0;  // errno when PROGRAM could not be started; nothing else is then set
  int status = 0;     // as wait4 reports it
  rusage usage{};
  int64_t start = 0, end = 0;  // CLOCK_MONOTONIC ns around the program's life
  ImageKind image = ImageKind::Preloadable;
  int pageError = 0;  // errno when no page could be shared with the companion: it ran plainly
  bool companionStarted = false;
  // The page held a state no companion writes: the program wrote over it, and nothing in it
  // was taken.
  bool pageOverwritten = false;

  // What PROGRAM became: the files exec'd in turn, as named to exec (the first ones and the
  // last when there were more than the page keeps); `execs` counts them all.
  std::vector<std::string> chain;
  uint32_t execs = 0;
  uint32_t measuredImage = 0;  // the page's number of the image read; 0 before the first

  // Figures read from outside, from the image last measured: the last reading, and the
  // highest peak any reading showed.
  std::optional<RunFigures> lastRead;
  int64_t lastReadTime = 0, peakRead = 0;
  int readRefusal = 0;  // errno when reading was refused and never succeeded

  // The companion's page at the end: figures after the exit handlers, or before an exec.
  std::optional<RunFigures> exitRecord;
  bool defaultMemoryFull = false;  // the memory-full handler at that moment was the library's
  // The image the chain ended in, when it ran unmeasured, and when it was exec'd.
  std::optional<std::string> replacement;
  int64_t replacedTime = 0;
  uint32_t unfollowed = kRunExecFollowed;  // why the companion did not pass the settings on

  // The measured image's own resident high-water mark (VmHWM), at the last reading of it.
  int64_t highWater = -1, highWaterTime = 0;
  // The tool's own, as it started the program: the most that the image the program was exec'd
  // from can have left in the kernel's high-water mark (usage.ru_maxrss). -1: not known.
  int64_t launcherResident = -1;

  // Each signal received and what became of it, in the order first seen.
  std::vector<SignalNote> signals;
};

// A new System V segment of `bytes`, attached and already marked for removal, so that it goes
// when the last process attached to it does; its id in `id`. Null (with errno) when System V
// IPC is unavailable.
void* AttachNewSegment(size_t bytes, int& id);

// Runs PROGRAM to its end, calling `onSample` with every reading, and last with the end (the
// final accounted total when the companion recorded one, no resident size). `sitesSegment`: the
// segment the site sampler fills, preloaded in front of the library; -1 for none.
// Every signal the tool can block stays blocked from here to the end of the tool
// (SignalRelay).
RunOutcome RunUnderBudget(Options const& options, Preload const& preload, ProgramImage const& image,
                          int sitesSegment, std::function<void(Sample const&)> const& onSample);
