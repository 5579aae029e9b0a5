// A file named on the command line. It is opened before the program starts, so that a name
// that cannot be written is refused before anything runs, and filled in once at the end. The
// name is only ever handed to open(2): it reaches no shell and no gnuplot command.
#pragma once

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

  // Opens (or creates) `name` for writing; the reason on failure.
  std::optional<std::string> Open(std::string const& name);
  bool IsOpen() const { return fd_ >= 0; }
  // Replaces the contents; false (with errno) on failure.
  bool Write(std::string_view contents);
  // Removes the file when this run created it, since nothing is going to fill it.
  void Abandon();

 private:
  int fd_ = -1;
  bool created_ = false;
  std::string name_;
};
