#include "summary.h"

#include <sys/wait.h>

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>

std::string Format(char const* format, ...) {
  char text[512];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  return text;
}

namespace {

void Line(std::string& text, char const* name, std::string const& value) {
  text += Format("  %-27s %s\n", (std::string(name) + ":").c_str(), value.c_str());
}

std::string Bytes(int64_t bytes) {
  if (bytes < 1024) return Format("%" PRId64 " byte%s", bytes, bytes == 1 ? "" : "s");
  return Format("%" PRId64 " bytes (%s)", bytes, HumanBytes(static_cast<double>(bytes)).c_str());
}

double Seconds(int64_t from, int64_t to) { return static_cast<double>(to - from) / 1e9; }

// A count from one of the companion's hooks, unless the program put its own hook in place.
std::string Count(int64_t count, RunRecord const& record, unsigned bit, char const* hook) {
  if (record.unseen & bit) return Format("not seen (the program installed its own %s)", hook);
  return Format("%" PRId64, count);
}

}  // namespace

std::string HumanBytes(double bytes) {
  static char const* const units[] = {"bytes", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  int unit = 0;
  for (; bytes >= 1024 && unit < 6; ++unit) bytes /= 1024;
  if (unit == 0) return Format("%.0f byte%s", bytes, bytes == 1 ? "" : "s");
  return Format("%.1f %s", bytes, units[unit]);
}

RunRecord const* FinalRecord(RunOutcome const& run) {
  for (auto it = run.records.rbegin(); it != run.records.rend(); ++it)
    if (it->kind == kRunRecordFinal) return &*it;
  return run.records.empty() ? nullptr : &run.records.back();
}

int ExitStatus(int waitStatus) {
  if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
  return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 1;
}

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
  Line(text, "limit", options.limit ? Bytes(*options.limit) : "none (nothing refused)");
  Line(text, "peak resident", Bytes(int64_t{run.usage.ru_maxrss} * 1024) + ", from the kernel");

  RunRecord const* const last = FinalRecord(run);
  if (last == nullptr) {
    Line(text, "accounted",
         "nothing: the library was not loaded (a statically linked or set-user-ID program?)");
    return text;
  }
  if (last->peak == 0) {
    Line(text, "accounted",
         "nothing: no allocation went through new/delete (a C program, or one that brings its "
         "own operator new?)");
    return text;
  }
  if (last->kind != kRunRecordFinal) {
    text += Format(
        "  (the program ended without running its exit handlers: the figures below are from "
        "the last sample, at %.3f s)\n",
        Seconds(run.start, last->time));
  }
  std::string peak = Bytes(last->peak);
  if (options.limit && *options.limit > 0)
    peak += Format(", %.0f%% of the limit",
                   100.0 * static_cast<double>(last->peak) / static_cast<double>(*options.limit));
  Line(text, "peak accounted", peak);
  Line(text, "final accounted", Bytes(last->total));
  Line(text, "admitted over the limit",
       Count(last->overallocations, *last, kUnseenOverallocation, "over-allocation callback"));
  Line(text, "garbage-collect hook calls",
       Count(last->collections, *last, kUnseenGarbageCollect, "garbage-collect hook"));
  Line(text, "memory-full events",
       Count(last->memoryFullEvents, *last, kUnseenMemoryFull, "memory-full handler") +
           (last->unseen & kUnseenMemoryFull
                ? last->memoryFull ? "; memory was full" : "; memory was never full"
                : ""));
  if (options.pressure) {
    std::string const name = "pressure above " + HumanBytes(static_cast<double>(*options.pressure));
    Line(text, name.c_str(),
         last->unseen & kUnseenPressure ? "not seen (the program armed its own pressure callback)"
         : last->pressureTime != 0
             ? Format("first at %.3f s", Seconds(run.start, last->pressureTime))
             : std::string("never"));
  }
  return text;
}

std::string TimelineCsv(RunOutcome const& run) {
  std::string csv = "time_s,accounted_bytes,resident_bytes\n";
  for (RunRecord const& record : run.records)
    csv += Format("%.3f,%" PRId64 ",%" PRId64 "\n", Seconds(run.start, record.time), record.total,
                  record.resident);
  return csv;
}
