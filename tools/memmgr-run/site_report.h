#pragma once
#include <string>

#include "companion/sites_area.h"
struct SiteReport {
  std::string folded;
  std::string summary;
};
SiteReport ReportSites(SitesArea const& area, int topSites);
