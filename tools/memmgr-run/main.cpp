// memmgr-run: runs a program with lib_memmgr preloaded, under a limit of the caller's choosing
// or none, and reports what the budget saw: the peak and final accounted totals, the recovery
// the program needed, the resident size, and a timeline as CSV or as a chart.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memmgr>
#include <string>
#include <tuple>

#include "chart.h"
#include "launch.h"
#include "options.h"
#include "output_file.h"
#include "summary.h"

namespace {

int Fail(int status, std::string const& message) {
  std::fprintf(stderr, "memmgr-run: %s\n", message.c_str());
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (auto const error = ParseOptions(argc, argv, options)) {
    std::fprintf(stderr, "memmgr-run: %s\n%s", error->c_str(), kUsage);
    return 2;
  }
  if (options.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  // The tool is linked with the library too; its own bookkeeping is not what is measured.
  GTMC_SetMemoryAllocationRules(INT64_MAX);

  if (!options.plot.empty() && !HaveGnuplot())
    return Fail(2,
                "--plot needs gnuplot, which is not on PATH (Debian: apt-get install gnuplot-nox)");
  OutputFile report, csv, plot;
  for (auto [file, name, option] :
       {std::tuple{&report, &options.report, "--report"}, std::tuple{&csv, &options.csv, "--csv"},
        std::tuple{&plot, &options.plot, "--plot"}}) {
    if (name->empty()) continue;
    if (auto const error = file->Open(*name))
      return Fail(2, std::string("cannot write ") + option + " " + *name + ": " + *error);
  }
  Preload preload;
  if (auto const error = FindPreload(preload)) return Fail(127, *error);

  RunOutcome const run = RunUnderBudget(options, preload);
  if (run.execError != 0) {
    for (OutputFile* file : {&report, &csv, &plot}) file->Abandon();
    return Fail(
        127, std::string("cannot run ") + options.program[0] + ": " + std::strerror(run.execError));
  }

  std::string const summary = Summary(options, run);
  if (!report.IsOpen()) {
    std::fputs(summary.c_str(), stderr);
  } else if (!report.Write(summary)) {
    Fail(0, "cannot write the report to " + options.report + ": " + std::strerror(errno));
  }
  if (csv.IsOpen() && !csv.Write(TimelineCsv(run)))
    Fail(0, "cannot write the timeline to " + options.csv + ": " + std::strerror(errno));
  if (plot.IsOpen()) {
    std::string png;
    if (auto const error = DrawChart(options, run, png)) {
      plot.Abandon();
      Fail(0, "no chart: " + *error);
    } else if (!plot.Write(png)) {
      Fail(0, "cannot write the chart to " + options.plot + ": " + std::strerror(errno));
    }
  }
  return ExitStatus(run.status);
}
