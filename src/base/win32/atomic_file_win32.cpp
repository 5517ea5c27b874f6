#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <atomic>
#include <string>

#include "base/atomic_file.h"

namespace quorvane {

namespace {

std::atomic<unsigned> g_tempCounter{0};

}  // namespace

AtomicFileWriter::~AtomicFileWriter() {
  abandon();
}

bool AtomicFileWriter::open(const std::string& target) {
  abandon();
  // A directory or a read-only file at the target is refused here, as
  // creating the file in place would be; the rename would replace it.
  const DWORD attributes = ::GetFileAttributesA(target.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0)
    return false;
  target_ = target;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string candidate = target + ".tmp-" + std::to_string(::GetCurrentProcessId()) + "-" +
                                  std::to_string(g_tempCounter++);
    const int fd = ::_open(candidate.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY,
                           _S_IREAD | _S_IWRITE);
    if (fd >= 0) {
      fd_ = fd;
      tempPath_ = candidate;
      return true;
    }
    if (errno != EEXIST) break;
  }
  return false;
}

bool AtomicFileWriter::write(const void* bytes, std::size_t count) {
  if (fd_ < 0) return false;
  const auto* p = static_cast<const unsigned char*>(bytes);
  while (count > 0) {
    const unsigned chunk = count > 0x40000000u ? 0x40000000u : static_cast<unsigned>(count);
    const int n = ::_write(fd_, p, chunk);
    if (n <= 0) return false;
    p += n;
    count -= static_cast<std::size_t>(n);
  }
  return true;
}

bool AtomicFileWriter::commit() {
  if (fd_ < 0) return false;
  bool ok = ::_commit(fd_) == 0;
  ok = (::_close(fd_) == 0) && ok;
  fd_ = -1;
  if (ok)
    ok = ::MoveFileExA(tempPath_.c_str(), target_.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  if (!ok) ::DeleteFileA(tempPath_.c_str());
  tempPath_.clear();
  return ok;
}

void AtomicFileWriter::abandon() {
  if (fd_ >= 0) {
    ::_close(fd_);
    fd_ = -1;
  }
  if (!tempPath_.empty()) {
    ::DeleteFileA(tempPath_.c_str());
    tempPath_.clear();
  }
}

}  // namespace quorvane
