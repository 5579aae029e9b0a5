#include "output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

OutputFile::~OutputFile() {
  if (fd_ >= 0) close(fd_);
}

std::optional<std::string> OutputFile::Open(std::string const& name) {
  name_ = name;
  // Created exclusively first, to know whether an abandoned file is ours to remove.
  fd_ = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  created_ = fd_ >= 0;
  if (fd_ < 0 && errno == EEXIST) fd_ = open(name.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd_ < 0) return std::strerror(errno);
  return std::nullopt;
}

bool OutputFile::Write(std::string_view contents) {
  // A regular file is replaced; anything else (/dev/stdout, a pipe) is simply written to.
  struct stat status {};
  if (fstat(fd_, &status) != 0) return false;
  if (S_ISREG(status.st_mode) && (ftruncate(fd_, 0) != 0 || lseek(fd_, 0, SEEK_SET) != 0))
    return false;
  return WriteAll(fd_, contents);
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t const written = write(fd, data.data(), data.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

void OutputFile::Abandon() {
  if (fd_ < 0) return;
  close(fd_);
  fd_ = -1;
  if (created_) unlink(name_.c_str());
}
