// SPDX-License-Identifier: Apache-2.0
#include "run/standard_streams.h"

#include <fcntl.h>
#include <unistd.h>

namespace {

struct Placeholder {
  bool held = false;
  dev_t device = 0;
  ino_t inode = 0;
};
constinit Placeholder placeholders[3];

}  // namespace

bool HoldClosedStandardStreams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0) continue;
    // A pipe's read end lands on the lowest free number, which is `fd`; without its write end it
    // reads as empty, and a write to it fails with EBADF, never with SIGPIPE.
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return false;
    close(ends[1]);
    struct stat held {};
    if (ends[0] != fd || fstat(fd, &held) != 0) return false;
    placeholders[fd] = {true, held.st_dev, held.st_ino};
  }
  return true;
}

bool StandardStreamClosed(int fd) { return fd >= 0 && fd <= 2 && placeholders[fd].held; }

int ClosedStandardStream(struct stat const& file) {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
    if (placeholders[fd].held && placeholders[fd].device == file.st_dev &&
        placeholders[fd].inode == file.st_ino)
      return fd;
  return -1;
}
