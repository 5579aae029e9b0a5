// SPDX-License-Identifier: Apache-2.0
#include "run/program_reader.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

// The value of "Name:   123 kB" in /proc/<pid>/status, in bytes; -1 when absent.
int64_t StatusKilobytes(std::string_view text, std::string_view name) {
  size_t const at = text.find(name);
  if (at == std::string_view::npos) return -1;
  return std::strtoll(text.data() + at + name.size(), nullptr, 10) * 1024;
}

}  // namespace

ProgramReader::~ProgramReader() {
  if (status_ >= 0) close(status_);
}

int ProgramReader::OpenStatus(pid_t thread) const {
  std::string const path =
      "/proc/" + std::to_string(pid_) + "/task/" + std::to_string(thread) + "/status";
  return open(path.c_str(), O_RDONLY | O_CLOEXEC);
}

bool ProgramReader::ReadStatus(int fd, int64_t& resident, int64_t& highWater) {
  char text[4096];
  ssize_t const length = fd < 0 ? -1 : pread(fd, text, sizeof text - 1, 0);
  if (length <= 0) return false;
  std::string_view const status(text, static_cast<size_t>(length));
  resident = StatusKilobytes(status, "\nVmRSS:");
  highWater = StatusKilobytes(status, "\nVmHWM:");
  return resident >= 0 && highWater >= 0;
}

bool ProgramReader::FollowLiveThread() {
  DIR* const tasks = opendir(("/proc/" + std::to_string(pid_) + "/task").c_str());
  if (tasks == nullptr) return false;
  bool found = false;
  while (dirent const* entry = readdir(tasks)) {
    pid_t const tid = static_cast<pid_t>(std::atoi(entry->d_name));
    int const fd = tid > 0 ? OpenStatus(tid) : -1;
    int64_t resident, highWater;
    if (ReadStatus(fd, resident, highWater)) {
      if (status_ >= 0) close(status_);
      status_ = fd;
      thread_ = tid;
      found = true;
      break;
    }
    if (fd >= 0) close(fd);
  }
  closedir(tasks);
  return found;
}

bool ProgramReader::ReadResident(int64_t& resident, int64_t& highWater) {
  if (status_ < 0) status_ = OpenStatus(thread_);
  if (ReadStatus(status_, resident, highWater)) return true;
  return FollowLiveThread() && ReadStatus(status_, resident, highWater);
}

bool ProgramReader::ReadLocations(uint64_t address) {
  iovec local{&locations_, sizeof locations_};
  iovec remote{reinterpret_cast<void*>(address), sizeof locations_};
  if (process_vm_readv(thread_, &local, 1, &remote, 1, 0) !=
      static_cast<ssize_t>(sizeof locations_))
    return false;
  located_ = locations_.version >= 1 && locations_.size >= sizeof locations_;
  return located_;
}

void ProgramReader::Follow(uint64_t figureLocations, uint64_t companionState, uint64_t cookie,
                           uint32_t image) {
  figureLocations_ = figureLocations;
  companionState_ = companionState;
  cookie_ = cookie;
  image_ = image;
  located_ = false;
}

ProgramReader::Result ProgramReader::ReadFigures(RunFigures& figures) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    errno = 0;
    if (located_ || ReadLocations(figureLocations_)) {
      uint8_t memoryFull = 0;
      CompanionState companion{};
      iovec local[] = {
          {&figures.total, 8},       {&figures.limit, 8},           {&figures.peak, 8},
          {&figures.collections, 8}, {&figures.overallocations, 8}, {&figures.memoryFullEvents, 8},
          {&memoryFull, 1},          {&companion, sizeof companion}};
      iovec remote[] = {{const_cast<void*>(locations_.total), 8},
                        {const_cast<void*>(locations_.limit), 8},
                        {const_cast<void*>(locations_.peak), 8},
                        {const_cast<void*>(locations_.collections), 8},
                        {const_cast<void*>(locations_.overallocations), 8},
                        {const_cast<void*>(locations_.memoryFullEvents), 8},
                        {const_cast<void*>(locations_.memoryFull), 1},
                        {reinterpret_cast<void*>(companionState_), sizeof companion}};
      ssize_t const expected = 6 * 8 + 1 + sizeof companion;
      ssize_t const got = process_vm_readv(thread_, local, 8, remote, 8, 0);
      if (got == expected) {
        if (companion.cookie != cookie_ || companion.image != image_) return Result::Replaced;
        figures.peak = std::max(figures.peak, companion.earlierPeak);
        figures.memoryFull = memoryFull != 0;
        figures.pressureTime = companion.pressureTime;
        figures.children = companion.children;
        figures.ownNew = companion.ownNew;
        figures.peakMoment = companion.peakMoment;
        return Result::Read;
      }
      if (got >= 0) return Result::Replaced;  // part of it is no longer mapped
    }
    if (errno == EPERM || errno == EACCES) {
      refusal_ = errno;
      return Result::Refused;
    }
    if (errno == EFAULT) return Result::Replaced;
    if (errno != ESRCH || !FollowLiveThread()) return Result::Gone;
  }
  return Result::Gone;
}

std::string ProgramReader::Executable() const {
  char target[4096];
  ssize_t const length =
      readlink(("/proc/" + std::to_string(pid_) + "/exe").c_str(), target, sizeof target - 1);
  return length > 0 ? std::string(target, static_cast<size_t>(length)) : std::string();
}
