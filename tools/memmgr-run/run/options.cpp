// SPDX-License-Identifier: Apache-2.0
#include "run/options.h"

#include <getopt.h>

#include <charconv>
#include <string_view>

char const kUsage[] =
    "usage: memmgr-run [--limit SIZE|none] [--pressure SIZE] [--interval MS] [--csv FILE]\n"
    "                  [--plot FILE.png] [--report FILE] [--sites FILE]\n"
    "                  [--sample-interval SIZE] [--] PROGRAM [ARGS...]\n"
    "       memmgr-run --help | --version\n"
    "Runs PROGRAM with lib_memmgr preloaded and reports what its budget saw.\n"
    "  --limit SIZE|none  the limit for the whole run; the program cannot change it\n"
    "                     (default none: nothing is refused, the natural footprint shows)\n"
    "  --pressure SIZE    tell when the accounted total first rose above SIZE\n"
    "  --interval MS      timeline sampling interval, 1 to 60000 (default 10)\n"
    "  --csv FILE         write the timeline: time_s,accounted_bytes,resident_bytes\n"
    "  --plot FILE.png    draw the timeline with gnuplot (package gnuplot-nox)\n"
    "  --report FILE      write the summary there instead of to standard error\n"
    "  --sites FILE       sample the call stacks of accounted allocations and write the\n"
    "                     live ones at the peak, at memory-full and at exit as folded\n"
    "                     stacks (flame-graph input); the summary names the top sites\n"
    "  --sample-interval SIZE  mean bytes between samples for --sites (default 8K)\n"
    "  --help, --version  print this text, or the version, and exit\n"
    "SIZE is bytes with an optional K, M or G suffix (powers of 1024).\n"
    "An output naming the tool's own standard output or error is written where it stands,\n"
    "and a device or pipe as it is; a regular file is replaced only once it is complete.\n"
    "Each output needs a file of its own. Links are followed as a shell's > follows them.\n"
    "With standard error closed and no --report, the summary is dropped.\n"
    "Exit status: PROGRAM's own, 128+N when signal N ended it, or 3 when PROGRAM succeeded\n"
    "but an output could not be written; 2 for bad usage or an output that cannot be\n"
    "written, found before PROGRAM starts; 127 when PROGRAM cannot be run.\n";

namespace {

// Bytes with an optional K, M or G (powers of 1024, either case); nothing for anything else,
// including values above INT64_MAX.
std::optional<int64_t> ParseSize(std::string_view text) {
  uint64_t value = 0;
  auto const [rest, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || rest == text.data()) return std::nullopt;
  std::string_view const suffix(rest, static_cast<size_t>(text.data() + text.size() - rest));
  int shift = 0;
  if (!suffix.empty()) {
    size_t const unit = std::string_view("KkMmGg").find(suffix[0]);
    if (suffix.size() > 1 || unit == std::string_view::npos) return std::nullopt;
    shift = 10 * static_cast<int>(unit / 2 + 1);
  }
  if (value > (uint64_t{INT64_MAX} >> shift)) return std::nullopt;
  return static_cast<int64_t>(value << shift);
}

}  // namespace

std::optional<std::string> ParseOptions(int argc, char** argv, Options& options) {
  enum { kLimit = 256, kPressure, kInterval, kCsv, kPlot, kReport, kSites, kSampleInterval };
  static option const kLong[] = {{"limit", required_argument, nullptr, kLimit},
                                 {"pressure", required_argument, nullptr, kPressure},
                                 {"interval", required_argument, nullptr, kInterval},
                                 {"csv", required_argument, nullptr, kCsv},
                                 {"plot", required_argument, nullptr, kPlot},
                                 {"report", required_argument, nullptr, kReport},
                                 {"sites", required_argument, nullptr, kSites},
                                 {"sample-interval", required_argument, nullptr, kSampleInterval},
                                 {"help", no_argument, nullptr, 'h'},
                                 {"version", no_argument, nullptr, 'V'},
                                 {nullptr, 0, nullptr, 0}};
  // '+': the options end at PROGRAM, whose own options are its own. ':': a missing value is
  // told apart from an unknown option. The messages are ours, printed above the usage.
  opterr = 0;
  for (int code; (code = getopt_long(argc, argv, "+:h", kLong, nullptr)) != -1;) {
    std::string_view const value = optarg != nullptr ? optarg : "";
    switch (code) {
      case 'h':
        options.help = true;
        return std::nullopt;
      case 'V':
        options.version = true;
        return std::nullopt;
      case kLimit:
        options.limit.reset();
        if (value != "none" && !(options.limit = ParseSize(value)))
          return "--limit: not a size: " + std::string(value);
        break;
      case kPressure:
        if (!(options.pressure = ParseSize(value)))
          return "--pressure: not a size: " + std::string(value);
        break;
      case kInterval: {
        int ms = 0;
        auto const [rest, error] = std::from_chars(value.data(), value.data() + value.size(), ms);
        if (error != std::errc{} || rest != value.data() + value.size() || ms < 1 || ms > 60000)
          return "--interval: not a number of milliseconds from 1 to 60000: " + std::string(value);
        options.intervalMs = ms;
        break;
      }
      case kCsv:
      case kPlot:
      case kReport:
      case kSites:
        if (value.empty())
          return "--" + std::string(kLong[code - kLimit].name) + ": an empty file name";
        (code == kCsv     ? options.csv
         : code == kPlot  ? options.plot
         : code == kSites ? options.sites
                          : options.report) = value;
        break;
      case kSampleInterval: {
        auto const interval = ParseSize(value);
        if (!interval || *interval < 1)
          return "--sample-interval: not a size of at least 1 byte: " + std::string(value);
        options.sampleInterval = *interval;
        break;
      }
      case ':':
        return std::string(argv[optind - 1]) + " needs a value";
      default:  // '?': optopt holds an unknown short option; a long one is the whole argument
        if (optopt != 0 && optopt != 'h' && optopt != 'V')
          return "unknown option: -" + std::string(1, optopt);
        return "unknown option: " + std::string(argv[optind - 1]);
    }
  }
  if (optind >= argc) return "no PROGRAM to run";
  options.program = argv + optind;
  return std::nullopt;
}
