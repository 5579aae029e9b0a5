#include "options.h"

#include <charconv>

char const kUsage[] =
    "usage: memmgr-run [--limit SIZE|none] [--pressure SIZE] [--interval MS] [--csv FILE]\n"
    "                  [--plot FILE.png] [--report FILE] [--] PROGRAM [ARGS...]\n"
    "Runs PROGRAM with lib_memmgr preloaded and reports what its budget saw.\n"
    "  --limit SIZE|none  the limit for the whole run; the program cannot change it\n"
    "                     (default none: nothing is refused, the natural footprint shows)\n"
    "  --pressure SIZE    tell when the accounted total first rose above SIZE\n"
    "  --interval MS      timeline sampling interval, 1 to 60000 (default 10)\n"
    "  --csv FILE         write the timeline: time_s,accounted_bytes,resident_bytes\n"
    "  --plot FILE.png    draw the timeline with gnuplot (package gnuplot-nox)\n"
    "  --report FILE      write the summary there instead of to standard error\n"
    "SIZE is bytes with an optional K, M or G suffix (powers of 1024).\n"
    "Exit status: PROGRAM's own, 128+N when signal N ended it; 2 for bad usage or an output\n"
    "file that cannot be written; 127 when PROGRAM cannot be run.\n";

std::optional<int64_t> ParseSize(std::string_view text) {
  uint64_t value = 0;
  auto const [rest, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || rest == text.data()) return std::nullopt;
  std::string_view const suffix(rest, static_cast<size_t>(text.data() + text.size() - rest));
  int shift = 0;
  if (suffix.size() == 1) {
    switch (suffix[0]) {
      case 'K':
      case 'k':
        shift = 10;
        break;
      case 'M':
      case 'm':
        shift = 20;
        break;
      case 'G':
      case 'g':
        shift = 30;
        break;
      default:
        return std::nullopt;
    }
  } else if (!suffix.empty()) {
    return std::nullopt;
  }
  if (value > (uint64_t{INT64_MAX} >> shift)) return std::nullopt;
  return static_cast<int64_t>(value << shift);
}

std::optional<std::string> ParseOptions(int argc, char** argv, Options& options) {
  int i = 1;
  for (; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--") {
      ++i;
      break;
    }
    if (!arg.starts_with("-") || arg == "-") break;
    if (arg == "--help" || arg == "-h") {
      options.help = true;
      return std::nullopt;
    }
    // "--name value" or "--name=value"
    std::string_view value;
    if (auto const equals = arg.find('='); equals != std::string_view::npos) {
      value = arg.substr(equals + 1);
      arg = arg.substr(0, equals);
    } else if (arg == "--limit" || arg == "--pressure" || arg == "--interval" || arg == "--csv" ||
               arg == "--plot" || arg == "--report") {
      if (++i >= argc) return std::string(arg) + " needs a value";
      value = argv[i];
    }
    if (arg == "--limit") {
      options.limit.reset();
      if (value != "none" && !(options.limit = ParseSize(value)))
        return "--limit: not a size: " + std::string(value);
    } else if (arg == "--pressure") {
      if (!(options.pressure = ParseSize(value)))
        return "--pressure: not a size: " + std::string(value);
    } else if (arg == "--interval") {
      int ms = 0;
      auto const [rest, error] = std::from_chars(value.data(), value.data() + value.size(), ms);
      if (error != std::errc{} || rest != value.data() + value.size() || ms < 1 || ms > 60000)
        return "--interval: not a number of milliseconds from 1 to 60000: " + std::string(value);
      options.intervalMs = ms;
    } else if (arg == "--csv" || arg == "--plot" || arg == "--report") {
      if (value.empty()) return std::string(arg) + ": an empty file name";
      (arg == "--csv" ? options.csv : arg == "--plot" ? options.plot : options.report) = value;
    } else {
      return "unknown option: " + std::string(argv[i]);
    }
  }
  if (i >= argc) return "no PROGRAM to run";
  options.program = argv + i;
  return std::nullopt;
}
