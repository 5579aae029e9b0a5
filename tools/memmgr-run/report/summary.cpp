#include "report/summary.h"

#include <sys/wait.h>

#include <algorithm>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstring>

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

}  // namespace

std::optional<RunFigures> ReportedFigures(RunOutcome const& run) {
  std::optional<RunFigures> figures = run.exitRecord ? run.exitRecord : run.lastRead;
  if (figures) figures->peak = std::max(figures->peak, run.peakRead);
  return figures;
}

int ExitStatus(int waitStatus) {
  if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
  return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 1;
}

std::string SignalName(int signal) {
  if (signal >= SIGRTMIN && signal <= SIGRTMAX)
    return signal == SIGRTMIN ? "SIGRTMIN" : Format("SIGRTMIN+%d", signal - SIGRTMIN);
  if (char const* const name = sigabbrev_np(signal)) return std::string("SIG") + name;
  return Format("signal %d", signal);
}

std::string SignalsTold(RunOutcome const& run) {
  std::string told;
  for (SignalNote const& note : run.signals) {
    std::string const times = note.count > 1 ? Format(" (%d times)", note.count) : "";
    told += told.empty() ? "" : "; ";
    told += SignalName(note.signal);
    switch (note.fate) {
      case SignalFate::Relayed:
        told += note.count == 1 ? " relayed once" : Format(" relayed %d times", note.count);
        break;
      case SignalFate::FromTerminal:
        told += " from the terminal reached the program directly" + times;
        break;
      case SignalFate::ToGroup:
        told += " sent to the process group reached the program directly" + times;
        break;
      case SignalFate::ForTool:
        told += " raised by the kernel for memmgr-run itself, not relayed" + times;
        break;
      case SignalFate::AfterEnd:
        told += " came after the program had ended, not relayed" + times;
        break;
      case SignalFate::StoppedWith:
        told += " stopped the program, and memmgr-run stopped with it" + times;
        break;
    }
  }
  return told;
}

namespace {

// Where the figures come from, when it is not the plain exit of the program.
std::string Provenance(RunOutcome const& run) {
  std::string const lastReading =
      Format("the last reading, at %.3f s", Seconds(run.start, run.lastReadTime));
  if (run.replacement) {
    std::string const when =
        run.replacedTime != 0 ? Format(" at %.3f s", Seconds(run.start, run.replacedTime)) : "";
    // Without the companion's record the exec was a direct system call, seen at a sample.
    return Format(
        "  (the program replaced itself with %s%s: the figures below are %s; what it exec'd ran "
        "unmeasured)\n",
        run.replacement->empty() ? "another program" : run.replacement->c_str(), when.c_str(),
        run.exitRecord ? "those just before the exec" : ("from " + lastReading).c_str());
  }
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
  switch (run.image) {
    case ImageKind::Static:
      return "static: nothing accounted (no dynamic loader to preload the library into; it ran "
             "plainly)";
    case ImageKind::SetId:
      return "set-ID: nothing accounted (the loader ignores LD_PRELOAD for a set-user-ID, "
             "set-group-ID or file-capability program; it ran plainly)";
    case ImageKind::Foreign:
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
  std::string text = Format("memmgr-run: %s\n", options.program[0]);
  Line(text, "wall time", Format("%.3f s", Seconds(run.start, run.end)));
  if (WIFSIGNALED(run.status)) {
    int const signal = WTERMSIG(run.status);
    Line(text, "exit status",
         Format("%d (ended by signal %d, %s)", 128 + signal, signal, strsignal(signal)));
  } else {
    Line(text, "exit status", Format("%d", ExitStatus(run.status)));
  }
  if (!run.signals.empty()) Line(text, "signals", SignalsTold(run));
  Line(text, "limit", options.limit ? Bytes(*options.limit) : "none (nothing refused)");
  if (run.highWater >= 0) {
    Line(text, "peak resident",
         Bytes(run.highWater) +
             Format(", the program's own high-water mark, read %.3f s before %s",
                    std::max(0.0, Seconds(run.highWaterTime,
                                          run.replacedTime ? run.replacedTime : run.end)),
                    run.replacedTime ? "its exec" : "its end"));
  } else {
    Line(text, "peak resident",
         Bytes(int64_t{run.usage.ru_maxrss} * 1024) +
             ", from wait4 (it ended before a reading; children it waited for included)");
  }

  if (std::string const reason = NotAccounted(run); !reason.empty()) {
    Line(text, "accounted", reason);
    return text;
  }
  std::optional<RunFigures> const figures = ReportedFigures(run);
  if (!figures) {
    Line(text, "accounted",
         run.readRefusal != 0
             ? "not read: reading from outside was " + Refusal(run) + ", and it left no exit record"
             : std::string("not read: it ended before the first reading, without running its "
                           "exit handlers"));
    return text;
  }
  if (run.readRefusal != 0)
    Line(text, "read from outside", Refusal(run) + "; the figures are from its exit record");
  RunFigures const& last = *figures;
  if (last.peak == 0 && last.collections == 0 && last.overallocations == 0 &&
      last.memoryFullEvents == 0) {
    Line(text, "accounted",
         "nothing: no allocation went through new/delete (a C program, or one that brings its "
         "own operator new?)");
    return text;
  }
  text += Provenance(run);
  std::string peak = Bytes(last.peak);
  if (options.limit && *options.limit > 0)
    peak += Format(", %.0f%% of the limit",
                   100.0 * static_cast<double>(last.peak) / static_cast<double>(*options.limit));
  Line(text, "peak accounted", peak);
  Line(text,
       !run.exitRecord   ? "last accounted"
       : run.replacement ? "accounted at the exec"
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
  if (options.pressure) {
    std::string const name = "pressure above " + HumanBytes(static_cast<double>(*options.pressure));
    Line(text, name.c_str(),
         last.pressureUnseen      ? "not seen (the program armed its own pressure callback)"
         : last.pressureTime != 0 ? Format("first at %.3f s", Seconds(run.start, last.pressureTime))
                                  : std::string("never"));
  }
  return text;
}
