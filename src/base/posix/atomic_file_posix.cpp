#include "base/atomic_file.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvane {

AtomicFileWriter::~AtomicFileWriter() {
  abandon();
}

bool AtomicFileWriter::open(const std::string& target) {
  abandon();
  // The target is replaced by a rename, which would also swap out a file
  // the user may not write to, or fail only after everything is written
  // when a directory stands there. Both are refused here, as creating the
  // file in place would be.
  struct stat existing {};
  if (::stat(target.c_str(), &existing) == 0 &&
      (S_ISDIR(existing.st_mode) || ::access(target.c_str(), W_OK) != 0))
    return false;
  target_ = target;
  std::string tmpl = target + ".tmp-XXXXXX";
  const int fd = ::mkstemp(tmpl.data());
  if (fd < 0) return false;
  // mkstemp makes the file private; an image or a configuration file gets
  // the ordinary permissions a newly created file would have.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, 0666 & ~mask);
  fd_ = fd;
  tempPath_ = tmpl;
  return true;
}

bool AtomicFileWriter::write(const void* bytes, std::size_t count) {
  if (fd_ < 0) return false;
  const auto* p = static_cast<const unsigned char*>(bytes);
  while (count > 0) {
    const ssize_t n = ::write(fd_, p, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    count -= static_cast<std::size_t>(n);
  }
  return true;
}

bool AtomicFileWriter::commit() {
  if (fd_ < 0) return false;
  bool ok = ::fsync(fd_) == 0;
  ok = (::close(fd_) == 0) && ok;
  fd_ = -1;
  if (ok) ok = std::rename(tempPath_.c_str(), target_.c_str()) == 0;
  if (!ok) {
    ::unlink(tempPath_.c_str());
  }
  tempPath_.clear();
  return ok;
}

void AtomicFileWriter::abandon() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  if (!tempPath_.empty()) {
    ::unlink(tempPath_.c_str());
    tempPath_.clear();
  }
}

}  // namespace quorvane
