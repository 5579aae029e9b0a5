// SPDX-License-Identifier: Apache-2.0
// Reading the measured program from outside, without running anything in it: its figures
// with process_vm_readv at the addresses the companion left in the shared page, its resident
// size and high-water mark from /proc.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memmgr>
#include <string>

#include "preload/preload.h"

class ProgramReader {
 public:
  explicit ProgramReader(pid_t pid) : pid_(pid), thread_(pid) {}
  ~ProgramReader();
  ProgramReader(ProgramReader const&) = delete;
  ProgramReader& operator=(ProgramReader const&) = delete;

  // VmRSS and VmHWM in bytes; false when the process has no memory left to report.
  bool ReadResident(int64_t& resident, int64_t& highWater);

  enum class Result {
    Read,      // `figures` holds them
    Refused,   // the kernel does not let this process read the program: see RefusalError()
    Replaced,  // the memory is no longer the image the companion started in (an exec)
    Gone       // the program has ended
  };
  // The image to read from now on: where the library's figures and the companion's state are,
  // and the cookie and image number that state must hold to be that image's.
  void Follow(uint64_t figureLocations, uint64_t companionState, uint64_t cookie, uint32_t image);
  Result ReadFigures(RunFigures& figures);
  int RefusalError() const { return refusal_; }

  // What /proc/<pid>/exe names now.
  std::string Executable() const;

 private:
  // The main thread may have left while others run on: the reads then go through one of those.
  bool FollowLiveThread();
  int OpenStatus(pid_t thread) const;
  static bool ReadStatus(int fd, int64_t& resident, int64_t& highWater);
  bool ReadLocations(uint64_t address);

  pid_t pid_, thread_;
  int status_ = -1;  // /proc/<pid>/task/<thread>/status
  int refusal_ = 0;
  bool located_ = false;
  mmgr_figure_locations locations_{};
  uint64_t figureLocations_ = 0, companionState_ = 0, cookie_ = 0;
  uint32_t image_ = 0;
};
