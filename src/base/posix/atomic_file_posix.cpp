// The atomic file writer's primitives on POSIX: descriptors, mkstemp,
// fsync and rename.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "base/atomic_file_platform.h"

namespace quorvane::atomic_file {

bool checkTarget(const std::string& target, SystemError& error) {
  struct stat existing {};
  if (::stat(target.c_str(), &existing) != 0) return true;  // nothing there yet
  if (S_ISDIR(existing.st_mode)) {
    error = SystemError::fromCode("open", EISDIR);
    return false;
  }
  if (::access(target.c_str(), W_OK) != 0) {
    error = SystemError::fromLast("access");
    return false;
  }
  return true;
}

bool createTemporary(const std::string& target, FileHandle& file, std::string& path,
                     SystemError& error) {
  std::string name = target + ".tmp-XXXXXX";
  const int fd = ::mkstemp(name.data());
  if (fd < 0) {
    error = SystemError::fromLast("mkstemp");
    return false;
  }
  // mkstemp makes the file private; an image or a configuration file gets
  // the ordinary permissions a newly created file would have.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, 0666 & ~mask);
  file = fd;
  path = name;
  return true;
}

std::size_t writeSome(FileHandle file, const unsigned char* bytes, std::size_t count,
                      SystemError& error) {
  for (;;) {
    const ssize_t n = ::write(static_cast<int>(file), bytes, count);
    if (n > 0) return static_cast<std::size_t>(n);
    if (n < 0 && errno == EINTR) continue;
    error = n == 0 ? SystemError::fromCode("write", EIO) : SystemError::fromLast("write");
    return 0;
  }
}

bool flushToDisk(FileHandle file, SystemError& error) {
  if (::fsync(static_cast<int>(file)) == 0) return true;
  error = SystemError::fromLast("fsync");
  return false;
}

bool closeFile(FileHandle file, SystemError& error) {
  if (::close(static_cast<int>(file)) == 0) return true;
  error = SystemError::fromLast("close");
  return false;
}

bool replaceFile(const std::string& from, const std::string& to, SystemError& error) {
  if (std::rename(from.c_str(), to.c_str()) == 0) return true;
  error = SystemError::fromLast("rename");
  return false;
}

void removeFile(const std::string& path) {
  ::unlink(path.c_str());
}

}  // namespace quorvane::atomic_file
