#include "output_file.h"

#include <fcntl.h>
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
  if (ftruncate(fd_, 0) != 0) return false;
  for (off_t at = 0; !contents.empty();) {
    ssize_t const written = pwrite(fd_, contents.data(), contents.size(), at);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    contents.remove_prefix(static_cast<size_t>(written));
    at += written;
  }
  return true;
}

void OutputFile::Abandon() {
  if (fd_ < 0) return;
  close(fd_);
  fd_ = -1;
  if (created_) unlink(name_.c_str());
}
