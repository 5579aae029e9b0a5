// SPDX-License-Identifier: Apache-2.0
#include "report/timeline.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdlib>

#include "report/format.h"
#include "report/output_file.h"

namespace {

constexpr char kHeader[] = "time_s,accounted_bytes,resident_bytes\n";

// "" for an unknown figure: an empty CSV field.
std::string Field(int64_t value) { return value < 0 ? "" : Format("%" PRId64, value); }

Sample Highest(Sample const& a, Sample const& b) {
  return {a.seconds, std::max(a.accounted, b.accounted), std::max(a.resident, b.resident)};
}

}  // namespace

Timeline::~Timeline() {
  if (mapped_ != nullptr) munmap(mapped_, mappedSize_);
  if (spool_ >= 0) close(spool_);
}

bool Timeline::Keep(bool csv, bool chart) {
  chart_ = chart;
  if (!csv) return true;
  char const* const variable = std::getenv("TMPDIR");
  std::string name = std::string(variable && *variable ? variable : "/tmp") + "/memmgr-run-XXXXXX";
  spool_ = mkostemp(name.data(), O_CLOEXEC);
  if (spool_ < 0) return false;
  unlink(name.c_str());
  Spool(kHeader);
  return true;
}

void Timeline::Spool(std::string_view text) {
  if (spool_ < 0) return;
  pending_ += text;
  if (pending_.size() >= 65536) Flush();
}

void Timeline::Flush() {
  // A full disk or a file size limit loses the CSV, not the run.
  if (!pending_.empty() && !WriteAll(spool_, pending_) && error_ == 0) error_ = errno;
  pending_.clear();
}

void Timeline::Add(Sample const& sample) {
  Spool(Format("%.3f,%s,%s\n", sample.seconds, Field(sample.accounted).c_str(),
               Field(sample.resident).c_str()));
  if (!chart_) return;
  if (inLast_ > 0 && inLast_ < span_) {
    points_.back() = Highest(points_.back(), sample);
    ++inLast_;
    return;
  }
  if (points_.size() == kChartPoints) {
    for (size_t i = 0; i < kChartPoints / 2; ++i)
      points_[i] = Highest(points_[2 * i], points_[2 * i + 1]);
    points_.resize(kChartPoints / 2);
    span_ *= 2;
  }
  points_.push_back(sample);
  inLast_ = 1;
}

void Timeline::Remark(std::string_view remark) {
  Spool("# ");
  Spool(remark);
  Spool("\n");
}

std::string_view Timeline::Csv() {
  if (spool_ < 0) return {};
  Flush();
  struct stat status {};
  if (mapped_ == nullptr && fstat(spool_, &status) == 0 && status.st_size > 0) {
    void* const at =
        mmap(nullptr, static_cast<size_t>(status.st_size), PROT_READ, MAP_SHARED, spool_, 0);
    if (at != MAP_FAILED) {
      mapped_ = at;
      mappedSize_ = static_cast<size_t>(status.st_size);
    }
  }
  return {static_cast<char const*>(mapped_), mappedSize_};
}
