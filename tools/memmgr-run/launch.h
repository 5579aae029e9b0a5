// Starting the program with the library and the companion preloaded, and watching it from
// outside until it ends: a sample every interval (figures read from its memory, resident size
// from /proc), the signals that interrupt the tool passed on, and the page the companion
// leaves for the end.
#pragma once

#include <sys/resource.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "companion/run_page.h"
#include "companion/sites_area.h"
#include "options.h"
#include "program_image.h"
#include "timeline.h"

struct Preload {
  std::string library, companion, sampler;
};

// The library this tool runs with and the companion and site sampler installed beside it; the
// reason when any cannot be preloaded.
std::optional<std::string> FindPreload(Preload& preload);

struct RunOutcome {
  int execError = 0;  // errno when PROGRAM could not be started; nothing else is then set
  int status = 0;     // as wait4 reports it
  rusage usage{};
  int64_t start = 0, end = 0;  // CLOCK_MONOTONIC ns around the program's life
  ImageKind image = ImageKind::Preloadable;
  int pageError = 0;  // errno when no page could be shared with the companion: it ran plainly
  bool companionStarted = false;

  // Figures read from outside: the last reading, and the highest peak any reading showed.
  std::optional<RunFigures> lastRead;
  int64_t lastReadTime = 0, peakRead = 0;
  int readRefusal = 0;  // errno when reading was refused and never succeeded

  // The companion's page at the end: figures after the exit handlers, or before an exec.
  std::optional<RunFigures> exitRecord;
  bool defaultMemoryFull = false;  // the memory-full handler at that moment was the library's
  std::optional<std::string> replacement;  // what the program exec'd, when it did
  int64_t replacedTime = 0;                // when the tool saw it; 0 when it did not

  // The program's own resident high-water mark (VmHWM), at the last reading of it.
  int64_t highWater = -1, highWaterTime = 0;

  int interruption = 0;  // the first of SIGINT, SIGTERM, SIGHUP the tool received

  // With --sites: what the site sampler left (null when no segment could be made, with errno
  // in sitesError).
  std::shared_ptr<SitesArea const> sites;
  int sitesError = 0;
};

// Records the signal mask and dispositions the tool was started with, which PROGRAM and
// anything else the tool starts inherit; call first thing in main.
void SaveInheritedSignals();
// In a child the tool forked, before exec: the signals as the tool found them.
void RestoreInheritedSignals();

RunOutcome RunUnderBudget(Options const& options, Preload const& preload, ProgramImage const& image,
                          Timeline& timeline);
