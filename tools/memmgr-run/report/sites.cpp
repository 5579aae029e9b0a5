// SPDX-License-Identifier: Apache-2.0
#include "report/sites.h"

#include <cxxabi.h>
#include <dwarf.h>
#include <elfutils/libdwfl.h>
#include <sys/shm.h>
#include <sys/stat.h>

#include <algorithm>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "report/format.h"
#include "run/launch.h"

namespace {

struct Frame {
  std::string function;  // demangled, with its parameter list
  std::string location;  // "file:line" of the call, when the object has line tables
  bool plumbing;         // the budget, the tool's own objects or the C++ runtime: never a site
};

struct Module {
  uint64_t start, end, bias;
  std::string name;
};

// Names come from the program's files: a ';' in one would split a folded line, and a control
// character would forge a line or reach the terminal.
std::string Clean(std::string text) {
  text = Printable(std::move(text));
  std::replace(text.begin(), text.end(), ';', ':');
  return text;
}

std::string Demangle(char const* name) {
  // Symbol tables may add the version: "_ZSt9terminatev@@GLIBCXX_3.4".
  std::string const bare(name, std::strcspn(name, "@"));
  int status = 0;
  char* const plain = abi::__cxa_demangle(bare.c_str(), nullptr, nullptr, &status);
  std::string text = Clean(status == 0 && plain ? plain : bare);
  std::free(plain);
  return text;
}

// Whether a mangled name is in namespace std or __gnu_cxx. Read from the mangled form because
// a demangled template function starts with its return type.
bool InStandardLibrary(char const* name) {
  if (std::strncmp(name, "_Z", 2) != 0) return false;
  name += 2 + (name[2] == 'Z');  // a local entity (a lambda) is in its enclosing function's
  if (*name == 'N') name += 1 + std::strspn(name + 1, "rVKRO");  // qualifiers of a member
  return (name[0] == 'S' && name[1] && std::strchr("tabsiod", name[1])) ||
         std::strncmp(name, "9__gnu_cxx", 10) == 0;
}

// The budget, the tool's preloaded part and the C++ runtime allocate on the program's
// behalf: the call site is the first frame outside them.
bool PlumbingObject(std::string_view name) {
  for (std::string_view const prefix :
       {"liblib_memmgr", "libmemmgr_run", "libstdc++", "libc++", "libgcc_s"})
    if (name.starts_with(prefix)) return true;
  return false;
}

// The C and C++ runtimes: named from their symbol tables only. Their line tables, where debug
// packages install them, are large and compressed, and no call site is ever in them.
bool RuntimeObject(std::string_view name) {
  for (std::string_view const prefix : {"libc.so", "libm.so", "ld-linux", "libpthread.so"})
    if (name.starts_with(prefix)) return true;
  return PlumbingObject(name);
}

// "file:line", the file relative to the working directory when it lies under it, as a build
// tree's sources usually do.
std::string Location(char const* file, uint64_t line) {
  if (file == nullptr || *file == '\0') return {};
  static std::string const here = [] {
    char directory[4096];
    return getcwd(directory, sizeof directory) ? std::string(directory) + "/" : std::string();
  }();
  std::string_view path(file);
  if (here.size() > 1 && path.starts_with(here)) path.remove_prefix(here.size());
  return Clean(std::string(path) + Format(":%" PRIu64, line));
}

class Symbolizer {
 public:
  // Reports to libdw only the objects that `wanted` (sorted addresses) fall in: opening the
  // others would cost the time of reading them for nothing.
  Symbolizer(SitesArea const& area, std::vector<uint64_t> const& wanted) {
    // Separate debug information is looked for by build ID on this machine only: the standard
    // lookup ends in a network client, whose loading alone costs more than the whole report.
    static Dwfl_Callbacks const callbacks = {dwfl_build_id_find_elf, dwfl_build_id_find_debuginfo,
                                             dwfl_offline_section_address, nullptr};
    if (dwfl_.reset(dwfl_begin(&callbacks)); dwfl_) dwfl_report_begin(dwfl_.get());
    // Later entries win: an object loaded where an unloaded one was hides it.
    uint32_t const count = std::min<uint32_t>(area.moduleCount, kSiteModules);
    for (uint32_t i = count; i-- > 0;) {
      SiteModule const& m = area.modules[i];
      auto const overlaps = [&m](Module const& kept) {
        return m.start < kept.end && kept.start < m.end;
      };
      if (m.start >= m.end || std::any_of(modules_.begin(), modules_.end(), overlaps)) continue;
      std::string const path(m.path, strnlen(m.path, sizeof m.path));
      modules_.push_back({m.start, m.end, m.bias, path.substr(path.rfind('/') + 1)});
      // The vdso has no file, and anything but a regular file (a FIFO) could block the open.
      // A path into /proc/self would be this tool's own.
      struct stat status;
      auto const first = std::lower_bound(wanted.begin(), wanted.end(), m.start + 1);
      bool const needed = first != wanted.end() && *first <= m.end;  // addresses are pc + 1
      if (needed && dwfl_ && stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
          !path.starts_with("/proc/self/"))
        dwfl_report_elf(dwfl_.get(), modules_.back().name.c_str(), path.c_str(), -1, m.bias, false);
    }
    if (dwfl_) dwfl_report_end(dwfl_.get(), nullptr, nullptr);
    std::sort(modules_.begin(), modules_.end(),
              [](Module const& a, Module const& b) { return a.start < b.start; });
  }

  // The frames of one return address, innermost first: the calls inlined at it, then the
  // function it is in.
  std::vector<Frame> const& Frames(uint64_t address) {
    auto [entry, fresh] = cache_.try_emplace(address);
    if (fresh) entry->second = Name(address);
    return entry->second;
  }

 private:
  // The compile unit at pc. Before 0.191 libdw finds one by address only through
  // .debug_aranges, which clang does not write by default; failing that, through the units'
  // own address ranges, gathered once per object.
  Dwarf_Die* Unit(Dwfl_Module* module, Dwarf_Addr pc, Dwarf_Addr& bias) {
    if (Dwarf_Die* const unit = dwfl_module_addrdie(module, pc, &bias)) return unit;
    auto [entry, fresh] = units_.try_emplace(module);
    std::vector<UnitRange>& ranges = entry->second;
    for (Dwarf_Die* unit = nullptr; fresh && (unit = dwfl_module_nextcu(module, unit, &bias));) {
      Dwarf_Addr base, low, high;
      for (ptrdiff_t at = 0; (at = dwarf_ranges(unit, at, &base, &low, &high)) > 0;)
        ranges.push_back({low, high, *unit});
    }
    if (fresh)
      std::sort(ranges.begin(), ranges.end(), [](auto& a, auto& b) { return a.low < b.low; });
    if (dwfl_module_getdwarf(module, &bias) == nullptr) return nullptr;
    auto const after = std::upper_bound(ranges.begin(), ranges.end(), pc - bias,
                                        [](Dwarf_Addr a, UnitRange const& r) { return a < r.low; });
    return after != ranges.begin() && pc - bias < std::prev(after)->high ? &std::prev(after)->unit
                                                                         : nullptr;
  }

  std::vector<Frame> Name(uint64_t address) {
    uint64_t const pc = address - 1;  // the call, not the instruction after it
    auto const after = std::upper_bound(modules_.begin(), modules_.end(), pc,
                                        [](uint64_t a, Module const& m) { return a < m.start; });
    if (after == modules_.begin() || pc >= std::prev(after)->end)
      return {{Format("0x%" PRIx64, address), {}, false}};
    Module const& module = *std::prev(after);
    bool const plumbing = PlumbingObject(module.name);
    Dwfl_Module* const found = dwfl_ ? dwfl_addrmodule(dwfl_.get(), pc) : nullptr;
    GElf_Off offset = 0;
    GElf_Sym symbol;
    char const* const symbolName =
        found ? dwfl_module_addrinfo(found, pc, &offset, &symbol, nullptr, nullptr, nullptr)
              : nullptr;
    std::string location;
    std::vector<Frame> frames;
    Dwarf_Addr bias = 0;
    if (Dwarf_Die* const unit =
            found && !RuntimeObject(module.name) ? Unit(found, pc, bias) : nullptr) {
      if (Dwarf_Line* const line = dwarf_getsrc_die(unit, pc - bias)) {
        int number = 0;
        dwarf_lineno(line, &number);
        location = Location(dwarf_linesrc(line, nullptr, nullptr), static_cast<uint64_t>(number));
      }
      // The scopes at pc lead from an inlined body to its abstract definition; the chain of
      // calls it was inlined through is that of the concrete DIE's parents.
      Dwarf_Die* scopes = nullptr;
      Dwarf_Die innermost;
      int count = dwarf_getscopes(unit, pc - bias, &scopes);
      if (count > 0) innermost = scopes[0];
      std::free(std::exchange(scopes, nullptr));
      if (count > 0) count = dwarf_getscopes_die(&innermost, &scopes);
      Dwarf_Files* files = nullptr;
      if (size_t fileCount; dwarf_getsrcfiles(unit, &files, &fileCount) != 0) files = nullptr;
      // Each inlined call is a frame of its own, placed where its caller made the call.
      for (int i = 0; i < count && dwarf_tag(&scopes[i]) != DW_TAG_subprogram; ++i) {
        if (dwarf_tag(&scopes[i]) != DW_TAG_inlined_subroutine) continue;
        Dwarf_Attribute attribute;
        char const* const linkage =
            dwarf_formstring(dwarf_attr_integrate(&scopes[i], DW_AT_linkage_name, &attribute));
        char const* const name = linkage ? linkage : dwarf_diename(&scopes[i]);
        frames.push_back({name ? Demangle(name) : "??", location,
                          plumbing || (linkage && InStandardLibrary(linkage))});
        Dwarf_Word file = 0, callLine = 0;
        dwarf_formudata(dwarf_attr(&scopes[i], DW_AT_call_file, &attribute), &file);
        dwarf_formudata(dwarf_attr(&scopes[i], DW_AT_call_line, &attribute), &callLine);
        location =
            Location(files ? dwarf_filesrc(files, file, nullptr, nullptr) : nullptr, callLine);
      }
      std::free(scopes);
    }
    frames.push_back({symbolName
                          ? Demangle(symbolName)
                          : Clean(module.name) + Format("+0x%" PRIx64, address - module.bias),
                      location, plumbing || (symbolName && InStandardLibrary(symbolName))});
    return frames;
  }

  std::unique_ptr<Dwfl, decltype(&dwfl_end)> dwfl_{nullptr, dwfl_end};
  std::vector<Module> modules_;  // by start, none overlapping
  std::unordered_map<uint64_t, std::vector<Frame>> cache_;
  struct UnitRange {
    Dwarf_Addr low, high;
    Dwarf_Die unit;
  };
  std::unordered_map<Dwfl_Module*, std::vector<UnitRange>> units_;
};

int64_t Sum(int64_t a, int64_t b) {
  int64_t sum;
  return __builtin_add_overflow(a, b, &sum) ? INT64_MAX : sum;
}

// "main" of "main(int, char**)", "Cache::Fill" of "Cache::Fill(int) const".
std::string WithoutParameters(std::string const& function) {
  int depth = 0;
  for (size_t i = function.rfind(')') + 1; i-- > 0;) {
    depth += function[i] == ')';
    if (function[i] == '(' && --depth == 0) return i == 0 ? function : function.substr(0, i);
  }
  return function;
}

using Tally = std::map<std::string, int64_t>;

std::vector<std::pair<std::string, int64_t>> Largest(Tally const& tally) {
  std::vector<std::pair<std::string, int64_t>> sorted(tally.begin(), tally.end());
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](auto const& a, auto const& b) { return a.second > b.second; });
  return sorted;
}

std::string Table(std::string const& title, int64_t accounted, Tally const& sites, int top) {
  int64_t estimated = 0;
  for (auto const& site : sites) estimated = Sum(estimated, site.second);
  std::string text =
      Format("  %s (%zu site%s, estimated %s of the %s accounted):\n", title.c_str(), sites.size(),
             sites.size() == 1 ? "" : "s", HumanBytes(static_cast<double>(estimated)).c_str(),
             HumanBytes(static_cast<double>(std::max<int64_t>(accounted, 0))).c_str());
  auto const sorted = Largest(sites);
  for (size_t i = 0; i < std::min(sorted.size(), static_cast<size_t>(std::max(top, 0))); ++i)
    text += Format("    %10s %5.1f%%  ", HumanBytes(static_cast<double>(sorted[i].second)).c_str(),
                   100.0 * static_cast<double>(sorted[i].second) / static_cast<double>(estimated)) +
            sorted[i].first + "\n";
  return text;
}

}  // namespace

SiteReport ReportSites(SitesArea const& area, int topSites) {
  std::string facts = Format(
      "one sample per %s allocated on average, %" PRId64 " samples taken",
      HumanBytes(static_cast<double>(std::max<int64_t>(area.interval, 0))).c_str(), area.samples);
  if (area.droppedSamples > 0)
    facts += Format("; %" PRId64 " samples dropped: the sampler's fixed storage was full",
                    area.droppedSamples);
  if (area.droppedStacks > 0)
    facts += Format("; %" PRId64 " samples dropped: the sampler's fixed stack table was full",
                    area.droppedStacks);
  SiteReport report{{}, Format("  %-27s %s\n", "site sampling:", facts.c_str())};
  uint32_t const stackCount = std::min<uint32_t>(area.stackCount, kSiteStacks);
  std::vector<uint64_t> wanted;
  for (SiteSnapshot const& snapshot : area.snapshots)
    for (uint32_t i = 0; snapshot.taken != 0 && i < std::min(snapshot.stackCount, stackCount); ++i)
      if (snapshot.bytes[i] > 0)
        wanted.insert(
            wanted.end(), area.stacks[i].frames,
            area.stacks[i].frames + std::min<uint32_t>(area.stacks[i].depth, kSiteFrames));
  std::sort(wanted.begin(), wanted.end());
  Symbolizer symbolizer(area, wanted);
  std::vector<Frame const*> frames;
  for (int slot = 0; slot < kSnapshotSlots; ++slot) {
    SiteSnapshot const& snapshot = area.snapshots[slot];
    if (snapshot.taken == 0) continue;
    std::string const name = slot == kPeakSnapshot ? std::string("peak")
                             : slot == kExitSnapshot
                                 ? std::string("exit")
                                 : Format("memory-full-%d", slot - kFirstMemoryFullSnapshot + 1);
    Tally lines, sites;
    for (uint32_t i = 0; i < std::min(snapshot.stackCount, stackCount); ++i) {
      int64_t const bytes = snapshot.bytes[i];
      if (bytes <= 0) continue;
      SiteStack const& stack = area.stacks[i];
      frames.clear();
      for (uint32_t f = 0; f < std::min<uint32_t>(stack.depth, kSiteFrames); ++f)
        for (Frame const& frame : symbolizer.Frames(stack.frames[f])) frames.push_back(&frame);
      std::string line = name;
      for (auto frame = frames.rbegin(); frame != frames.rend(); ++frame)
        line += ";" + (*frame)->function;
      lines[line] = Sum(lines[line], bytes);
      auto const site = std::find_if(frames.begin(), frames.end(),
                                     [](Frame const* frame) { return !frame->plumbing; });
      std::string key = "(no frame outside the runtime)";
      if (site != frames.end())
        key = WithoutParameters((*site)->function) + ((*site)->location.empty() ? "" : "  ") +
              (*site)->location;
      sites[key] = Sum(sites[key], bytes);
    }
    for (auto const& [line, bytes] : Largest(lines))
      report.folded += line + Format(" %" PRId64 "\n", bytes);
    if (!sites.empty())
      report.summary +=
          Table(slot == kExitSnapshot ? "still accounted at exit" : "top sites at " + name,
                snapshot.total, sites, topSites);
  }
  return report;
}

std::shared_ptr<SitesArea> CreateSitesArea(int64_t interval, int& id) {
  auto* const area = static_cast<SitesArea*>(AttachNewSegment(sizeof(SitesArea), id));
  if (area == nullptr) return nullptr;
  area->interval = interval;
  return std::shared_ptr<SitesArea>(area, [](SitesArea* attached) { shmdt(attached); });
}
