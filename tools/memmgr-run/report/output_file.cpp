#include "report/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

std::string Directory(std::string const& path) {
  size_t const slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string Resolved(char const* path) {
  char* const real = realpath(path, nullptr);
  if (real == nullptr) return {};
  std::string resolved = real;
  std::free(real);
  return resolved;
}

// An unused name beside `path`, created for writing with no permissions for others yet.
int CreateBeside(std::string const& path, std::string& temporary) {
  size_t const slash = path.rfind('/');
  temporary = path.substr(0, slash + 1) + "." + path.substr(slash + 1) + ".XXXXXX";
  return mkostemp(temporary.data(), O_CLOEXEC);
}

}  // namespace

OutputFile::~OutputFile() {
  if (ownsFd_) close(fd_);
}

std::optional<std::string> OutputFile::Open(std::string const& name) {
  struct stat named {};
  if (stat(name.c_str(), &named) == 0) {
    device_ = named.st_dev;
    inode_ = named.st_ino;
    for (int const fd : {STDOUT_FILENO, STDERR_FILENO}) {
      struct stat own {};
      if (fstat(fd, &own) == 0 && own.st_dev == named.st_dev && own.st_ino == named.st_ino) {
        fd_ = fd;
        open_ = true;
        return std::nullopt;
      }
    }
    // Opened without truncating, also to check that a regular file may be written at all.
    int const fd = open(name.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return std::strerror(errno);
    if (!S_ISREG(named.st_mode)) {
      fd_ = fd;
      ownsFd_ = open_ = true;
      return std::nullopt;
    }
    close(fd);
    path_ = Resolved(name.c_str());
    if (path_.empty()) return std::strerror(errno);
    mode_ = named.st_mode & 07777;
    owner_ = named.st_uid;
    group_ = named.st_gid;
  } else {
    if (errno != ENOENT) return std::strerror(errno);
    if (name.ends_with('/')) return std::strerror(EISDIR);
    std::string const directory = Resolved(Directory(name).c_str());
    if (directory.empty()) return std::strerror(errno);
    path_ = name;
    newPlace_ = directory + "/" + name.substr(name.rfind('/') + 1);
    mode_t const mask = umask(0);
    umask(mask);
    mode_ = 0666 & ~mask;
  }
  // The directory must take the temporary file; none is left there until the end.
  std::string temporary;
  int const fd = CreateBeside(path_, temporary);
  if (fd < 0) return std::strerror(errno);
  close(fd);
  unlink(temporary.c_str());
  open_ = true;
  return std::nullopt;
}

bool OutputFile::SameFile(OutputFile const& other) const {
  if (newPlace_.empty() != other.newPlace_.empty()) return false;
  if (!newPlace_.empty()) return newPlace_ == other.newPlace_;
  return device_ == other.device_ && inode_ == other.inode_;
}

bool OutputFile::Write(std::string_view contents) {
  if (fd_ >= 0) return WriteAll(fd_, contents);
  std::string temporary;
  int const fd = CreateBeside(path_, temporary);
  if (fd < 0) return false;
  // Owner first: a change of owner clears the set-user-ID and set-group-ID bits.
  if (newPlace_.empty()) (void)!fchown(fd, owner_, group_);
  bool written = fchmod(fd, mode_) == 0 && WriteAll(fd, contents);
  int error = errno;
  // A file system may report a failed write only when the file is closed.
  if (close(fd) != 0 && written) {
    written = false;
    error = errno;
  }
  if (written && rename(temporary.c_str(), path_.c_str()) == 0) return true;
  if (written) error = errno;
  unlink(temporary.c_str());
  errno = error;
  return false;
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
