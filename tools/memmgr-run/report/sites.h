// SPDX-License-Identifier: Apache-2.0
// What memmgr-run --sites makes of the area the site sampler left behind: the sampled call
// stacks, named after the program has gone, as a folded profile and as summary tables.
#pragma once

#include <memory>
#include <string>

#include "preload/preload.h"

struct SiteReport {
  // One line per distinct named stack and snapshot, "peak;main;Fill 123456", outermost frame
  // first after the snapshot's name: the text flame graph viewers read.
  std::string folded;
  // The sampling facts and the largest call sites per snapshot, in the summary's layout.
  std::string summary;
};

// The area for a run with --sites, shared with the sampler through the segment `id`; null (with
// errno) when no segment can be made. Detached when the last reference goes.
std::shared_ptr<SitesArea> CreateSitesArea(int64_t interval, int& id);

// Reads nothing but `area` and the objects its module table names; any content is safe.
SiteReport ReportSites(SitesArea const& area, int topSites = 10);
