#include "base/atomic_file.h"

#include "base/atomic_file_platform.h"

namespace quorvane {

using namespace atomic_file;

AtomicFileWriter::~AtomicFileWriter() {
  abandon();
}

bool AtomicFileWriter::open(const std::string& target) {
  abandon();
  lastError_ = {};
  FileHandle file = kNoFile;
  std::string path;
  if (!checkTarget(target, lastError_) || !createTemporary(target, file, path, lastError_))
    return false;
  file_ = file;
  writeFailed_ = false;
  target_ = target;
  tempPath_ = path;
  return true;
}

bool AtomicFileWriter::write(const void* bytes, std::size_t count) {
  if (file_ == kNoFile || writeFailed_) return false;
  const auto* p = static_cast<const unsigned char*>(bytes);
  while (count > 0) {
    const std::size_t n = writeSome(file_, p, count, lastError_);
    if (n == 0) {
      writeFailed_ = true;
      return false;
    }
    p += n;
    count -= n;
  }
  return true;
}

bool AtomicFileWriter::commit() {
  if (file_ == kNoFile) return false;
  bool ok = !writeFailed_ && flushToDisk(file_, lastError_);
  SystemError closeError;
  if (!closeFile(file_, closeError) && ok) {
    lastError_ = closeError;  // the first failure is the one to tell
    ok = false;
  }
  file_ = kNoFile;
  ok = ok && replaceFile(tempPath_, target_, lastError_);
  if (!ok) removeFile(tempPath_);
  tempPath_.clear();
  return ok;
}

void AtomicFileWriter::abandon() {
  if (file_ != kNoFile) {
    SystemError ignored;
    closeFile(file_, ignored);
    file_ = kNoFile;
  }
  if (!tempPath_.empty()) {
    removeFile(tempPath_);
    tempPath_.clear();
  }
}

}  // namespace quorvane
