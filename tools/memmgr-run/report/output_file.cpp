// SPDX-License-Identifier: Apache-2.0
#include "report/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "report/format.h"
#include "run/standard_streams.h"

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

// Whether the link at `link` may be followed, as the kernel decides for an open
// (fs.protected_symlinks): in a sticky directory anyone may write to, such as /tmp, only a link
// of the follower's own or of the directory's owner, so that nobody can plant a link there that
// leads a later run to a file of their choosing.
bool MayFollow(std::string const& link, struct stat const& linkStatus) {
  struct stat directory {};
  if (stat(Directory(link).c_str(), &directory) != 0) return false;
  bool const shared = (directory.st_mode & (S_ISVTX | S_IWOTH)) == (S_ISVTX | S_IWOTH);
  return !shared || linkStatus.st_uid == geteuid() || linkStatus.st_uid == directory.st_uid;
}

// Where `name` leads, every link on the way checked as the kernel would (MayFollow), whether or
// not the last target exists: the file it names, or where open(O_CREAT) would create it, since
// a link that leads to no file yet is followed as a shell's `>` creates a link's target.
std::optional<std::string> FollowLinks(std::string name, std::string& place) {
  constexpr int kMostLinks = 40;  // as the kernel
  for (int links = 0;; ++links) {
    struct stat status {};
    if (lstat(name.c_str(), &status) != 0) {
      if (errno != ENOENT) return std::strerror(errno);
      place = name;
      return std::nullopt;
    }
    // Anything but a link: created since the name was looked at; it is the one to replace.
    if (!S_ISLNK(status.st_mode)) {
      place = name;
      return std::nullopt;
    }
    if (links == kMostLinks) return std::strerror(ELOOP);
    if (!MayFollow(name, status)) return std::strerror(EACCES);
    std::error_code error;
    std::string const target = std::filesystem::read_symlink(name, error);
    if (error) return error.message();
    name = target.starts_with('/') ? target : Directory(name) + "/" + target;
  }
}

}  // namespace

OutputFile::~OutputFile() {
  if (ownsFd_) close(fd_);
}

std::optional<std::string> OutputFile::Open(std::string const& name) {
  std::string place;
  if (auto const error = FollowLinks(name, place)) return error;
  struct stat named {};
  if (stat(name.c_str(), &named) == 0) {
    // Written there, the output would be lost; named as a file, the link that led to the stream
    // (/dev/stderr itself) would be replaced.
    if (int const stream = ClosedStandardStream(named); stream >= 0) {
      constexpr char const* kStreams[] = {"input", "output", "error"};
      return Format("it is standard %s, which memmgr-run was started without", kStreams[stream]);
    }
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
    // The path to rename over must be the file named, not one the name no longer reaches (the
    // file behind /dev/fd/N may have been deleted, or replaced since).
    struct stat reached {};
    if (stat(path_.c_str(), &reached) != 0 || reached.st_dev != named.st_dev ||
        reached.st_ino != named.st_ino)
      return "no path leads to it to replace it (deleted, or replaced meanwhile)";
    mode_ = named.st_mode & 07777;
    owner_ = named.st_uid;
    group_ = named.st_gid;
  } else {
    if (errno != ENOENT) return std::strerror(errno);
    if (place.ends_with('/')) return std::strerror(EISDIR);
    std::string const directory = Resolved(Directory(place).c_str());
    if (directory.empty()) return std::strerror(errno);
    newPlace_ = directory + "/" + place.substr(place.rfind('/') + 1);
    path_ = newPlace_;
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
