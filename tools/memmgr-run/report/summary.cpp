// SPDX-License-Identifier: Apache-2.0
#include "report/summary.h"

#include <sys/wait.h>

#include <algorithm>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <vector>

#include "report/format.h"

namespace {

void Line(std::string& text, char const* name, std::string const& value) {
  text += Format("  %-27s %s\n", (std::string(name) + ":").c_str(), value.c_str());
}

std::string Bytes(int64_t bytes) {
  if (bytes < 1024) return Format("%" PRId64 " byte%s", bytes, bytes == 1 ? "" : "s");
  return Format("%" PRId64 " bytes (%s)", bytes, HumanBytes(static_cast<double>(bytes)).c_str());
}

double Seconds(int64_t from, int64_t to) { return static_cast<double>(to - from) / 1e9; }

// "SIGTERM", "SIGRTMIN+3".
std::string SignalName(int signal) {
  if (signal >= SIGRTMIN && signal <= SIGRTMAX)
    return signal == SIGRTMIN ? "SIGRTMIN" : Format("SIGRTMIN+%d", signal - SIGRTMIN);
  if (char const* const name = sigabbrev_np(signal)) return std::string("SIG") + name;
  return Format("signal %d", signal);
}

// What became of a signal, told after its name.
char const* Fate(SignalFate fate) {
  switch (fate) {
    case SignalFate::Relayed:
      return " relayed";
    case SignalFate::FromTerminal:
      return " from the terminal reached the program directly";
    case SignalFate::ToGroup:
      return " sent to the process group reached the program directly";
    case SignalFate::GroupLeft:
      return " sent to the process group, which the program had left: memmgr-run got it, the "
             "program did not";
    case SignalFate::FromProgram:
      return " sent to memmgr-run by the program or a process it started, not sent back";
    case SignalFate::ForTool:
      return " raised by the kernel for memmgr-run itself, not relayed";
    case SignalFate::AfterEnd:
      return " came after the program had ended, not relayed";
    case SignalFate::StoppedWith:
      return " stopped the program, and memmgr-run stopped with it";
  }
  return "";
}

}  // namespace

std::optional<RunFigures> ReportedFigures(RunOutcome const& run) {
  std::optional<RunFigures> figures = run.exitRecord ? run.exitRecord : run.image.lastRead;
  if (figures) figures->peak = std::max(figures->peak, run.image.peakRead);
  return figures;
}

std::optional<double> PeakSeconds(RunOutcome const& run) {
  std::optional<RunFigures> const figures = ReportedFigures(run);
  PeakMoment const& moment = run.image.peakMoment;
  if (!figures || moment.time == 0 || figures->peak < moment.total ||
      figures->peak - moment.total > memmgr_run_peak_margin(moment.total))
    return std::nullopt;
  return Seconds(run.start, moment.time);
}

PeakResidentFigure PeakResident(RunOutcome const& run) {
  // Two figures, each true of something: the program's own high-water mark (VmHWM) as last read
  // from /proc, which the memory takes with it as the program ends, so that a program shorter
  // than an interval is read at best at its start; and the kernel's, which wait4 gives at the
  // end, and which also counts the children the program waited for, the images it exec'd
  // through, and the tool's image it was itself exec'd from. The kernel's is never the lower.
  ImageReading const& image = run.image;
  int64_t const own = image.highWater;
  int64_t const kernel = int64_t{run.usage.ru_maxrss} * 1024;
  std::string const readAt = Format(
      "read %.3f s before its %s",
      std::max(0.0,
               Seconds(image.highWaterTime, image.replacedTime ? image.replacedTime : run.end)),
      image.replacedTime ? "exec" : "end");
  // Past an exec the kernel's figure holds what the program became, which ran unmeasured.
  if (own >= 0 && (kernel <= own || image.replacement))
    return {own, "the program's own high-water mark, " + readAt};
  std::string source =
      image.replacement
          ? "the kernel's high-water mark at its end (wait4), what it exec'd included"
          : "the kernel's high-water mark at its end (wait4, which counts any children it "
            "waited for)";
  // No larger than the tool's image, it may be that image's.
  if (kernel <= run.launcherResident)
    source =
        "at most: the kernel's high-water mark at its end (wait4) also counts the image of "
        "memmgr-run the program was started from, which was as large";
  source += own >= 0 ? "; its own: " + HumanBytes(static_cast<double>(own)) + ", " + readAt
                     : std::string("; it ended before a reading of its own");
  return {kernel, source};
}

int ExitStatus(int waitStatus) {
  if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
  return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 1;
}

std::string SignalsTold(RunOutcome const& run) {
  std::string told;
  for (SignalNote const& note : run.signals) {
    told += (told.empty() ? "" : "; ") + SignalName(note.signal) + Fate(note.fate);
    if (note.fate == SignalFate::Relayed)
      told += note.count == 1 ? " once" : Format(" %d times", note.count);
    else if (note.count > 1)
      told += Format(" (%d times)", note.count);
  }
  return told;
}

namespace {

// A file as the chain names it: its last component, cut (visibly) when it is very long.
std::string ChainName(std::string const& path) {
  constexpr size_t kLongest = 64;
  size_t const slash = path.find_last_of('/');
  std::string name =
      slash == std::string::npos || slash + 1 == path.size() ? path : path.substr(slash + 1);
  if (name.size() <= kLongest) return name;
  size_t cut = kLongest - 3;
  while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xc0) == 0x80) --cut;
  return name.substr(0, cut) + "...";
}

// Why the image the chain ended in ran unmeasured.
char const* UnmeasuredBecause(RunOutcome const& run) {
  // Without the companion's record the exec was a direct system call, seen at a sample.
  if (!run.exitRecord) return "exec'd by a direct system call, which the companion never sees";
  switch (run.unfollowed) {
    case kRunExecTooLarge:
      return "its environment was too large to add the tool's settings to";
    case kRunExecStatic:
      return "statically linked, so nothing can be preloaded";
    case kRunExecForeign:
      return "built for another machine or word size, so nothing can be preloaded";
    case kRunExecSetId:
      return "set-ID or with file capabilities, so the loader preloads nothing";
    case kRunExecSanitized:
      return "built with a sanitizer, whose runtime must be loaded before any preload";
    default:
      return "the library could not be preloaded into it";
  }
}

// What PROGRAM became: "nice → app". A long chain keeps its ends.
std::string Chain(Options const& options, RunOutcome const& run) {
  constexpr size_t kWidest = 120;
  std::vector<std::string> names{ChainName(Printable(options.program[0]))};
  for (size_t i = 0; i < run.chain.size(); ++i) {
    if (i + 1 == run.chain.size() && run.execs > run.chain.size()) names.emplace_back("…");
    names.push_back(ChainName(run.chain[i]));
  }
  std::string text = names.front();
  for (size_t i = 1; i < names.size(); ++i) text += " → " + names[i];
  if (text.size() > kWidest && names.size() > 2) text = names.front() + " → … → " + names.back();
  if (run.image.replacement) text += Format(" (unmeasured: %s)", UnmeasuredBecause(run));
  return text;
}

// Where the figures come from, when it is not the plain exit of the program.
std::string Provenance(RunOutcome const& run) {
  ImageReading const& image = run.image;
  std::string const lastReading =
      Format("the last reading, at %.3f s", Seconds(run.start, image.lastReadTime));
  if (image.replacement) {
    std::string const when =
        image.replacedTime != 0 ? Format(" at %.3f s", Seconds(run.start, image.replacedTime)) : "";
    return Format(
        "  (the program replaced itself with %s%s: the figures below are %s; what it exec'd ran "
        "unmeasured)\n",
        image.replacement->empty() ? "another program" : image.replacement->c_str(), when.c_str(),
        run.exitRecord ? "those just before the exec" : ("from " + lastReading).c_str());
  }
  if (run.pageOverwritten)
    return "  (the program wrote over the page it shares with memmgr-run: the figures below are "
           "from " +
           lastReading + ")\n";
  if (!run.exitRecord)
    return "  (the program ended without running its exit handlers: the figures below are from " +
           lastReading + ")\n";
  return {};
}

std::string Refusal(RunOutcome const& run) {
  return Format("refused (%s: the program is not dumpable, or the ptrace policy forbids it)",
                std::strerror(run.readRefusal));
}

// Why nothing was accounted, when nothing could be; empty when something could.
std::string NotAccounted(RunOutcome const& run) {
  switch (run.programKind) {
    case kRunExecStatic:
      return "static: nothing accounted (no dynamic loader to preload the library into; it ran "
             "plainly)";
    case kRunExecSetId:
      return "set-ID: nothing accounted (the loader ignores LD_PRELOAD for a set-user-ID, "
             "set-group-ID or file-capability program; it ran plainly)";
    case kRunExecForeign:
      return "foreign: nothing accounted (built for another machine or word size than the "
             "library; it ran plainly)";
    default:
      break;
  }
  if (run.pageError != 0)
    return Format("nothing: no memory could be shared with the program (%s); it ran plainly",
                  std::strerror(run.pageError));
  if (!run.companionStarted)
    return "nothing: the companion never started (the loader did not preload the library, or "
           "the program ended before it could)";
  return {};
}

}  // namespace

std::string Summary(Options const& options, RunOutcome const& run) {
  std::string text = Format("memmgr-run: %s\n", Printable(options.program[0]).c_str());
  if (!run.chain.empty()) Line(text, "ran", Chain(options, run));
  Line(text, "wall time", Format("%.3f s", Seconds(run.start, run.end)));
  if (WIFSIGNALED(run.status)) {
    int const signal = WTERMSIG(run.status);
    Line(text, "exit status",
         Format("%d (ended by signal %d, %s%s)", 128 + signal, signal, strsignal(signal),
                WCOREDUMP(run.status) ? ", core dumped" : ""));
  } else {
    Line(text, "exit status", Format("%d", ExitStatus(run.status)));
  }
  if (!run.signals.empty()) Line(text, "signals", SignalsTold(run));
  Line(text, "limit", options.limit ? Bytes(*options.limit) : "none (nothing refused)");
  PeakResidentFigure const resident = PeakResident(run);
  Line(text, "peak resident", Bytes(resident.bytes) + ", " + resident.source);

  if (std::string const reason = NotAccounted(run); !reason.empty()) {
    Line(text, "accounted", reason);
    return text;
  }
  std::optional<RunFigures> const figures = ReportedFigures(run);
  if (!figures) {
    Line(text, "accounted",
         run.readRefusal != 0
             ? "not read: reading from outside was " + Refusal(run) + ", and it left no exit record"
         : run.pageOverwritten
             ? std::string("not read: the program wrote over the page it shares with memmgr-run "
                           "and ended before the first reading")
             : std::string("not read: it ended before the first reading, without running its "
                           "exit handlers"));
    return text;
  }
  if (run.readRefusal != 0)
    Line(text, "read from outside", Refusal(run) + "; the figures are from its exit record");
  RunFigures const& last = *figures;
  // The one process and its execs are measured; what it starts runs plainly.
  // Without an exit record the count is the last reading's: more may have started after it.
  std::string const children =
      Format("%s%" PRId64
             ", which ran unmeasured: memmgr-run measures the one process and what it "
             "execs, not its children",
             run.exitRecord ? "" : "at least ", last.children);
  if (last.peak == 0 && last.collections == 0 && last.overallocations == 0 &&
      last.memoryFullEvents == 0) {
    // Without an exit record, nothing is known of what came after the last reading.
    if (!run.exitRecord) text += Provenance(run);
    Line(text, "accounted",
         last.ownNew      ? "nothing: the program defines its own operator new, which takes "
                            "precedence over the preloaded library's, so its C++ allocations were "
                            "not accounted"
         : run.exitRecord ? "nothing: no allocation went through new/delete (a C program, or "
                            "one that links the C++ runtime statically?)"
                          : "nothing by then");
    if (last.children > 0) Line(text, "children started", children);
    return text;
  }
  text += Provenance(run);
  std::string peak = Bytes(last.peak);
  if (options.limit && *options.limit > 0)
    peak += Format(", %.0f%% of the limit",
                   100.0 * static_cast<double>(last.peak) / static_cast<double>(*options.limit));
  Line(text, "peak accounted", peak);
  Line(text,
       !run.exitRecord         ? "last accounted"
       : run.image.replacement ? "accounted at the exec"
                               : "final accounted",
       Bytes(std::max<int64_t>(last.total, 0)));
  Line(text, "admitted over the limit", Format("%" PRId64, last.overallocations));
  Line(text, "garbage-collect hook calls", Format("%" PRId64, last.collections));
  std::string memoryFull = Format("%" PRId64, last.memoryFullEvents);
  if (last.memoryFullEvents > 0 && run.exitRecord && run.defaultMemoryFull &&
      WIFEXITED(run.status) && WEXITSTATUS(run.status) == 1)
    memoryFull +=
        "; the library's default handler ended the program with status 1 (under the library, "
        "new never throws std::bad_alloc)";
  Line(text, "memory-full events", memoryFull);
  if (last.ownNew)
    Line(text, "C++ allocations",
         "not accounted: the program defines its own operator new, which takes precedence over "
         "the preloaded library's (the figures hold only its direct calls into the library)");
  if (last.children > 0) Line(text, "children started", children);
  if (options.pressure) {
    std::string const name = "pressure above " + HumanBytes(static_cast<double>(*options.pressure));
    Line(text, name.c_str(),
         last.pressureTime != 0 ? Format("first at %.3f s", Seconds(run.start, last.pressureTime))
                                : std::string("never"));
  }
  return text;
}
