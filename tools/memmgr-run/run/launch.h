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

#include "preload/preload.h"
#include "run/options.h"
#include "run/signal_relay.h"
#include "run/spawn.h"

// One reading from outside, or a moment the companion noted between two (no resident size).
struct Sample {
  double seconds;     // since the program started
  int64_t accounted;  // -1: not known (not read, or nothing accounted)
  int64_t resident;   // -1: not known
};

struct Preload {
  std::string library, preload;  // the library, and the part of the tool's loaded in front of it
};

// What PROGRAM is, found before it runs by the decision the companion makes at each exec of it
// (exec_rules.c).
struct ProgramImage {
  uint32_t kind = kRunExecFollowed;  // kRunExec*; kRunExecFollowed: the library is preloaded
  std::string path;                  // the file exec will run, found on PATH as execvp finds it
  char const* sanitizer = nullptr;   // for kRunExecSanitized: which sanitizer
};

ProgramImage InspectProgram(char const* program);

// What the tool knows of one image of the measured process (PROGRAM, or an image it exec'd):
// the one it reads now, or read last. A new image starts from nothing.
struct ImageReading {
  uint32_t number = 0;                   // the page's number of the image; 0 before the first
  std::optional<RunFigures> lastRead{};  // its figures at the last reading
  int64_t lastReadTime = 0;              // when that was (CLOCK_MONOTONIC ns, as all times here)
  int64_t peakRead = 0;                  // the highest peak any reading of it showed
  int64_t highWater = -1;                // its own VmHWM at the last reading; -1: none yet
  int64_t highWaterTime = 0;             // when that was
  std::optional<std::string> replacement{};  // what it exec'd, which ran unmeasured
  int64_t replacedTime = 0;                  // when it exec'd that; 0: not known
  // The highest moment the companion noted (preload.h), and the time of the last one put on
  // the timeline.
  PeakMoment peakMoment{};
  int64_t momentTold = 0;

  void Read(RunFigures const& figures, int64_t time);  // a reading, taken at `time`
  void Note(PeakMoment const& moment);                 // one the companion noted
};

// The library this tool runs with and the preloaded part installed beside it; the reason when
// either cannot be preloaded.
std::optional<std::string> FindPreload(Preload& preload);

struct RunOutcome {
  int execError = 0;  // errno when PROGRAM could not be started; nothing else is then set
  int status = 0;     // as wait4 reports it
  rusage usage{};
  int64_t start = 0, end = 0;               // CLOCK_MONOTONIC ns around the program's life
  uint32_t programKind = kRunExecFollowed;  // what PROGRAM made of the preload (kRunExec*)
  int pageError = 0;  // errno when no page could be shared with the companion: it ran plainly
  bool companionStarted = false;
  // The page held a state no companion writes: the program wrote over it, and nothing in it
  // was taken.
  bool pageOverwritten = false;

  // What PROGRAM became: the files exec'd in turn, as named to exec (the first ones and the
  // last when there were more than the page keeps); `execs` counts them all.
  std::vector<std::string> chain;
  uint32_t execs = 0;

  ImageReading image;   // the image measured last, as read from outside
  int readRefusal = 0;  // errno when reading was refused and never succeeded

  // The companion's page at the end: figures after the exit handlers, or before an exec.
  std::optional<RunFigures> exitRecord;
  bool defaultMemoryFull = false;  // the memory-full handler at that moment was the library's
  uint32_t unfollowed = kRunExecFollowed;  // why the companion did not pass the settings on

  // The tool's own resident high-water mark as it started the program: the most that the image
  // the program was exec'd from can have left in the kernel's (usage.ru_maxrss). -1: not known.
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
