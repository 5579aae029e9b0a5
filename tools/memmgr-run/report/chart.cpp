// SPDX-License-Identifier: Apache-2.0
// gnuplot gets only text this file composes from numbers: the commands and the data go to its
// standard input, and the PNG comes back on its standard output, so no file name or argument
// of the user's ever becomes part of a gnuplot command.
#include "report/chart.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>

#include "report/format.h"
#include "report/output_file.h"
#include "report/summary.h"
#include "run/spawn.h"

namespace {

struct Scale {
  double divisor;
  char const* unit;
};

Scale ScaleFor(double largest) {
  if (largest >= 4.0 * (1 << 30)) return {1 << 30, "GiB"};
  if (largest >= 4.0 * (1 << 20)) return {1 << 20, "MiB"};
  return {1 << 10, "KiB"};
}

// A figure for gnuplot, in the chart's unit; NaN (a gap in the curve) when not known.
std::string Value(int64_t bytes, Scale const& scale) {
  return bytes < 0 ? "NaN" : Format("%.6f", static_cast<double>(bytes) / scale.divisor);
}

}  // namespace

std::string ChartScript(Options const& options, RunOutcome const& run, Timeline const& timeline) {
  std::vector<Sample> const& points = timeline.ChartPoints();
  std::optional<RunFigures> const figures = ReportedFigures(run);
  double const peak = figures ? static_cast<double>(figures->peak) : 0;
  double const peakResident = static_cast<double>(PeakResident(run).bytes);
  double dataTop = std::max(peak, peakResident);
  double duration = 0;
  for (Sample const& point : points) {
    dataTop = std::max(
        {dataTop, static_cast<double>(point.resident), static_cast<double>(point.accounted)});
    duration = std::max(duration, point.seconds);
  }
  double const limit = options.limit ? static_cast<double>(*options.limit) : 0;
  // A limit far above what the program used would flatten the curves: it is named instead.
  bool const limitDrawn = options.limit && limit <= 4 * dataTop;
  Scale const scale = ScaleFor(std::max(dataTop, limitDrawn ? limit : 0));
  double const top = std::max(dataTop, limitDrawn ? limit : 0) * 1.12 / scale.divisor;

  std::string script =
      "set terminal pngcairo size 1000,560 font \",11\"\nset output\n"
      "set title \"Accounted total and resident size over time\"\n";
  script += Format("set xlabel \"seconds since start\"\nset ylabel \"%s\"\n", scale.unit);
  script += Format("set grid\nset key below\nset xrange [0:%.6f]\nset yrange [0:%.6f]\n",
                   std::max(duration, 0.001), std::max(top, 1.0));
  // A level across the chart, named at one end: `number` for gnuplot, `style` its dashes.
  auto const level = [&](int number, char const* name, double bytes, char const* style,
                         char const* colour, bool atRight) {
    double const y = bytes / scale.divisor;
    script += Format(
        "set arrow %d from graph 0, first %.6f to graph 1, first %.6f nohead %s "
        "lc rgb \"%s\" front\n",
        number, y, y, style, colour);
    script += Format(
        "set label %d \"%s %s\" at graph %s, first %.6f %s offset 0,0.7 "
        "tc rgb \"%s\" front\n",
        number, name, HumanBytes(bytes).c_str(), atRight ? "0.99" : "0.01", y,
        atRight ? "right" : "left", colour);
  };
  if (figures) level(1, "peak", peak, "dt 3 lw 1.5", "#1f4e9c", true);
  if (limitDrawn) {
    level(2, "limit", limit, "dt 2 lw 2", "#c0392b", false);
  } else {
    script +=
        Format("set label 2 \"%s%s\" at graph 0.99, graph 0.95 right tc rgb \"#c0392b\" front\n",
               options.limit ? "limit far above: " : "no limit: nothing refused",
               options.limit ? HumanBytes(limit).c_str() : "");
  }
  script += "$timeline << EOD\n";
  for (Sample const& point : points)
    script += Format("%.4f %s %s\n", point.seconds, Value(point.accounted, scale).c_str(),
                     Value(point.resident, scale).c_str());
  script += "EOD\n";
  // The peak as a point at the moment the companion noted it, which may fall between readings.
  std::optional<double> const peakAt = PeakSeconds(run);
  if (peakAt) script += Format("$peak << EOD\n%.4f %s\nEOD\n", *peakAt, Value(peak, scale).c_str());
  // The plot command comes last: gnuplot writes the PNG only after it has read everything.
  // gnuplot refuses a curve with no defined point at all: one that was never read is left out.
  auto const known = [&](int64_t Sample::*figure) {
    return std::any_of(points.begin(), points.end(),
                       [&](Sample const& point) { return point.*figure >= 0; });
  };
  // The peak resident size is known however short the run, even with no sample read at all: a
  // line, which also gives gnuplot a curve to plot when no sample holds anything.
  std::string curves;
  auto const curve = [&curves](std::string const& text) {
    curves += (curves.empty() ? "" : ", ") + text;
  };
  if (peakResident >= 0)
    curve(Format("%.6f with lines dt 3 lw 1.5 lc rgb \"#7f8c8d\" title \"peak resident %s\"",
                 peakResident / scale.divisor, HumanBytes(peakResident).c_str()));
  if (known(&Sample::resident))
    curve("$timeline using 1:3 with lines lw 1.5 lc rgb \"#95a5a6\" title \"resident size\"");
  if (known(&Sample::accounted))
    curve("$timeline using 1:2 with lines lw 2 lc rgb \"#1f4e9c\" title \"accounted total\"");
  if (peakAt)
    curve(Format(
        "$peak using 1:2 with points pt 7 ps 1.5 lc rgb \"#1f4e9c\" title \"peak, at %.3f s\"",
        *peakAt));
  script += "plot " + curves + "\n";
  return script;
}

bool HaveGnuplot() {
  // Run, not looked for: it is found on PATH as it will be for the chart, and a gnuplot that
  // is there but cannot start is found before the program runs, too.
  char* const argv[] = {const_cast<char*>("gnuplot"), const_cast<char*>("--version"), nullptr};
  SpawnStreams streams;
  streams.nullStreams = true;
  pid_t const pid = Spawn(argv, nullptr, streams);
  int const status = pid > 0 ? WaitFor(pid) : -1;
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::optional<std::string> DrawChart(Options const& options, RunOutcome const& run,
                                     Timeline const& timeline, std::string& png) {
  std::string const script = ChartScript(options, run, timeline);
  int input[2], output[2];
  if (pipe2(input, O_CLOEXEC) != 0) return "cannot start gnuplot";
  if (pipe2(output, O_CLOEXEC) != 0) {
    close(input[0]);
    close(input[1]);
    return "cannot start gnuplot";
  }
  char* const argv[] = {const_cast<char*>("gnuplot"), nullptr};
  SpawnStreams streams;
  streams.input = input[0];
  streams.output = output[1];
  pid_t const pid = Spawn(argv, nullptr, streams);
  close(input[0]);
  close(output[1]);
  // gnuplot may stop reading early (a failed command): then the write fails, quietly, since
  // the tool blocks SIGPIPE, as every signal, while it writes its outputs.
  if (pid > 0) WriteAll(input[1], script);
  close(input[1]);
  char buffer[65536];
  for (ssize_t got; pid > 0 && (got = read(output[0], buffer, sizeof buffer)) != 0;) {
    if (got > 0)
      png.append(buffer, static_cast<size_t>(got));
    else if (errno != EINTR)
      break;
  }
  close(output[0]);
  if (pid < 0) return "cannot start gnuplot";
  int const status = WaitFor(pid);
  if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
      !png.starts_with("\x89PNG\r\n\x1a\n"))
    return "gnuplot did not produce a PNG (see its messages above)";
  return std::nullopt;
}
