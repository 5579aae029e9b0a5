// SPDX-License-Identifier: Apache-2.0
// memmgr-run: runs a program with lib_memmgr preloaded, under a limit of the caller's choosing
// or none, and reports what the budget saw: the peak and final accounted totals, the recovery
// the program needed, the resident size, and a timeline as CSV or as a chart.
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memmgr>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>

#include "report/chart.h"
#include "report/format.h"
#include "report/output_file.h"
#include "run/launch.h"
#include "run/options.h"
#include "run/standard_streams.h"
#ifdef MEMMGR_RUN_HAVE_SITES
#include "report/sites.h"
#endif
#include "report/summary.h"

namespace {

int Fail(int status, std::string const& message) {
  std::fprintf(stderr, "memmgr-run: %s\n", message.c_str());
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (!HoldClosedStandardStreams())
    return Fail(2, std::string("cannot hold the closed standard streams: ") + std::strerror(errno));
  SaveInheritedSignals();
  Options options;
  if (auto const error = ParseOptions(argc, argv, options)) {
    std::fprintf(stderr, "memmgr-run: %s\n%s", error->c_str(), kUsage);
    return 2;
  }
  if (options.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (options.version) {
    std::puts("memmgr-run " MEMMGR_VERSION);
    return 0;
  }
#ifndef MEMMGR_RUN_HAVE_SITES
  if (!options.sites.empty())
    return Fail(2,
                "--sites: this memmgr-run was built without call-site sampling; build it with "
                "-DMEMMGR_RUN_SITES=ON, which needs libdw (Debian: apt-get install libdw-dev)");
#endif
  // A sanitizer's runtime insists on being loaded first and brings its own new: the library
  // cannot be preloaded into such a program, which would end in the runtime's own complaint.
  ProgramImage const image = InspectProgram(options.program[0]);
  if (image.kind == kRunExecSanitized)
    return Fail(2, Printable(options.program[0]) + " is built with " + image.sanitizer +
                       ", whose runtime owns malloc and new: the budget cannot be preloaded "
                       "into it; run an uninstrumented build under memmgr-run");
  // The tool is linked with the library too; its own bookkeeping is not what is measured.
  GTMC_SetMemoryAllocationRules(INT64_MAX);

  if (!options.plot.empty() && !HaveGnuplot())
    return Fail(
        2, "--plot needs gnuplot, which could not be run (Debian: apt-get install gnuplot-nox)");
  OutputFile report, csv, plot, sites;
  std::tuple<OutputFile*, std::string const*, char const*> const outputs[] = {
      {&report, &options.report, "--report"},
      {&csv, &options.csv, "--csv"},
      {&plot, &options.plot, "--plot"},
      {&sites, &options.sites, "--sites"}};
  for (auto const& [file, name, option] : outputs) {
    if (name->empty()) continue;
    if (auto const error = file->Open(*name))
      return Fail(2, std::string("cannot write ") + option + " " + *name + ": " + *error);
    // One would replace or follow the other.
    for (auto const& [other, otherName, otherOption] : outputs)
      if (other != file && other->IsOpen() && other->SameFile(*file))
        return Fail(2, std::string(otherOption) + " " + *otherName + " and " + option + " " +
                           *name + " are the same file: give each output its own");
  }
  Preload preload;
  if (auto const error = FindPreload(preload)) return Fail(127, *error);
  Timeline timeline;
  if (!timeline.Keep(csv.IsOpen(), plot.IsOpen()))
    return Fail(2, std::string("cannot keep the timeline in TMPDIR: ") + std::strerror(errno));

  // With --sites, the sampler's area; without a segment the run goes on unsampled.
  int sitesSegment = -1, sitesError = 0;
#ifdef MEMMGR_RUN_HAVE_SITES
  std::shared_ptr<SitesArea const> sitesArea;
  if (sites.IsOpen() && image.kind == kRunExecFollowed) {
    sitesArea = CreateSitesArea(options.sampleInterval, sitesSegment);
    if (!sitesArea) sitesError = errno, sitesSegment = -1;
  }
#endif
  RunOutcome const run =
      RunUnderBudget(options, preload, image, sitesSegment,
                     [&timeline](Sample const& sample) { timeline.Add(sample); });
  if (run.execError != 0)
    return Fail(
        127, "cannot run " + Printable(options.program[0]) + ": " + std::strerror(run.execError));

  // Every signal stays blocked while the outputs are written: a reader that went away (a pipe
  // into head), or a file size limit, fails that one write instead of ending the tool, and the
  // other outputs and the status still come.
  bool failed = false;
  auto const put = [&failed](OutputFile& file, std::string const& what, std::string const& name,
                             std::string_view contents) {
    if (file.Write(contents)) return;
    failed = true;
    Fail(0, "cannot write " + what + " to " + name + ": " + std::strerror(errno));
  };
  std::string summary = Summary(options, run);
  std::string folded;
#ifdef MEMMGR_RUN_HAVE_SITES
  if (sitesArea && run.pageError == 0) {
    constexpr int kTopSites = 10;
    SiteReport siteReport = ReportSites(*sitesArea, kTopSites);
    summary += siteReport.summary;
    folded = std::move(siteReport.folded);
  } else
#endif
      if (sites.IsOpen()) {
    summary +=
        sitesError != 0
            ? Format("sites: none sampled: no area to share (%s)\n", std::strerror(sitesError))
            : std::string("sites: none sampled: the program ran without the library\n");
  }
  if (!run.signals.empty()) timeline.Remark("signals: " + SignalsTold(run));
  // Started with standard error closed and no --report, the caller asked for no summary, as
  // for the messages of any program run so: it is dropped, and that is no failure.
  if (report.IsOpen())
    put(report, "the report", options.report, summary);
  else if (!StandardStreamClosed(STDERR_FILENO))
    failed |= !WriteAll(STDERR_FILENO, summary);
  if (csv.IsOpen()) {
    std::string_view const rows = timeline.Csv();
    if (int const error = timeline.SpoolError()) {
      failed = true;
      Fail(0,
           "cannot write the timeline to " + options.csv + ": its spool: " + std::strerror(error));
    } else {
      put(csv, "the timeline", options.csv, rows);
    }
  }
  if (sites.IsOpen()) put(sites, "the sites", options.sites, folded);
  if (plot.IsOpen()) {
    std::string png;
    if (auto const error = DrawChart(options, run, timeline, png)) {
      failed = true;
      Fail(0, "no chart: " + *error);
    } else {
      put(plot, "the chart", options.plot, png);
    }
  }
  // The program's own end is the truth, whatever the tool received: a program that handled a
  // SIGTERM and exited 0 succeeded. One that a signal ended ends the tool by the same signal.
  // A failed program's status is never hidden; a failed output only turns a success into 3.
  EndAsTheProgramEnded(run.status);
  int const status = ExitStatus(run.status);
  return failed && status == 0 ? 3 : status;
}
