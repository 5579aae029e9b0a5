// SPDX-License-Identifier: Apache-2.0
// A file named on the command line. It is checked before the program starts, so that a name
// that cannot be written is refused before anything runs, and written once at the end. The
// name is only ever handed to the file system: it reaches no shell and no gnuplot command.
//
// What is there already is kept unless the tool has a whole new content for it:
// - the tool's own standard output or error (the same open file, whatever it is called:
//   /dev/stdout, or the file the shell redirected to) is written where it stands, through the
//   descriptor the tool was given: what the program wrote there, or what >> kept, stays;
// - any other device, a pipe or a FIFO is written, never truncated;
// - a regular file is written beside it under a temporary name, which is renamed over it only
//   once everything is written: a failed or interrupted run leaves the earlier file as it was
//   and no half-written one. The file replaced keeps its permission bits, and its owner and
//   group where the tool may set them, but not its other hard links. This needs the directory
//   to be writable, as well as the file.
// Symbolic links are followed as a shell's `>` follows them: to a device, which is written; to
// a regular file, which is replaced; to nothing yet, whose target is created. Only a name that
// leads to a regular file, or to none, is ever replaced. A name that leads to a standard stream
// the tool was started without (/dev/stderr under `2>&-`) is refused.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

// Writes all of `data` to `fd`, through short writes and interruptions; false (with errno) on
// failure.
bool WriteAll(int fd, std::string_view data);

class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(OutputFile const&) = delete;
  OutputFile& operator=(OutputFile const&) = delete;
  ~OutputFile();

  // Checks that `name` can be written as above; the reason when it cannot.
  std::optional<std::string> Open(std::string const& name);
  bool IsOpen() const { return open_; }
  // Whether both name one file: the same device and inode, or the same place for a file that
  // does not exist yet. Writing one would undo the other.
  bool SameFile(OutputFile const& other) const;
  // Writes the whole contents as above; false (with errno) on failure.
  bool Write(std::string_view contents);

 private:
  bool open_ = false;
  int fd_ = -1;           // a stream: written where it stands
  bool ownsFd_ = false;   // false for the tool's own standard output or error
  std::string path_;      // a regular file: what the temporary file is renamed to
  std::string newPlace_;  // a file that does not exist yet: where it will be, links followed
  dev_t device_ = 0;
  ino_t inode_ = 0;
  mode_t mode_ = 0;  // the permissions of the file written
  uid_t owner_ = 0;
  gid_t group_ = 0;
};
