#include "site_report.h"

#include "summary.h"
SiteReport ReportSites(SitesArea const& a, int) {
  SiteReport r;
  r.summary = Format("STUB samples %ld dropped %ld/%ld stacks %u modules %u mf %u\n",
                     (long)a.samples, (long)a.droppedSamples, (long)a.droppedStacks, a.stackCount,
                     a.moduleCount, a.memoryFullCount);
  for (int s = 0; s < kSnapshotSlots; ++s) {
    auto const& sn = a.snapshots[s];
    if (!sn.taken) continue;
    int64_t sum = 0;
    for (uint32_t i = 0; i < sn.stackCount; ++i) sum += sn.bytes[i];
    r.summary += Format("slot %d total %ld est %ld\n", s, (long)sn.total, (long)sum);
    for (uint32_t i = 0; i < sn.stackCount; ++i)
      if (sn.bytes[i] > 0) {
        char line[512];
        int n = snprintf(line, sizeof line, "%d %ld:", s, (long)sn.bytes[i]);
        for (uint32_t f = 0; f < a.stacks[i].depth && f < 6; ++f)
          n += snprintf(line + n, sizeof line - n, " %lx", (unsigned long)a.stacks[i].frames[f]);
        r.folded += std::string(line) + "\n";
      }
  }
  for (uint32_t m = 0; m < a.moduleCount; ++m)
    r.folded += Format("module %lx-%lx %lx %s\n", (unsigned long)a.modules[m].start,
                       (unsigned long)a.modules[m].end, (unsigned long)a.modules[m].bias,
                       a.modules[m].path);
  return r;
}
