// SPDX-License-Identifier: Apache-2.0
// The samples of a run, in bounded memory however long it lasts: streamed as CSV rows to a
// spool file as they come (for --csv), and kept for the chart at a resolution that halves
// whenever the points would pass kChartPoints (each point then the highest of its span).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "run/launch.h"

class Timeline {
 public:
  static constexpr size_t kChartPoints = 4096;

  Timeline() = default;
  ~Timeline();
  Timeline(Timeline const&) = delete;
  Timeline& operator=(Timeline const&) = delete;

  // What to keep: CSV rows in a spool file, points for a chart. False (with errno) when the
  // spool cannot be created.
  bool Keep(bool csv, bool chart);
  void Add(Sample const& sample);
  // A "# ..." line at the end of the CSV.
  void Remark(std::string_view remark);

  // The CSV written so far (header, rows, remarks); valid while the timeline lives.
  std::string_view Csv();
  // errno of the first write to the spool that failed (the CSV is then incomplete), or 0.
  int SpoolError() const { return error_; }
  std::vector<Sample> const& ChartPoints() const { return points_; }

 private:
  void Spool(std::string_view text);
  void Flush();

  int spool_ = -1;
  int error_ = 0;
  std::string pending_;  // rows not yet written to the spool
  bool chart_ = false;
  std::vector<Sample> points_;
  size_t span_ = 1, inLast_ = 0;
  void* mapped_ = nullptr;
  size_t mappedSize_ = 0;
};
