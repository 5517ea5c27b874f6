// Writes a file completely or not at all: the bytes go to a temporary file
// beside the target, which replaces the target only once everything is
// written and flushed to disk. Until then, and after any failure, an
// earlier file at the target stays as it was.
//
// The steps are written once (atomic_file.cpp); the file primitives they
// use are the platform's (atomic_file_platform.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/system_error.h"

namespace quorvane {

class AtomicFileWriter {
 public:
  AtomicFileWriter() = default;
  ~AtomicFileWriter();  // abandons an uncommitted file
  AtomicFileWriter(const AtomicFileWriter&) = delete;
  AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

  // Creates the temporary file beside `target`. False when it can't be
  // created (missing or unwritable directory) or when the target is a
  // directory or a file this user may not write.
  bool open(const std::string& target);
  // Writes all `count` bytes or returns false; after a failed write the
  // file can no longer be committed.
  bool write(const void* bytes, std::size_t count);
  // Flushes, syncs and renames over the target. False on failure, in which
  // case the temporary file is removed and the target is untouched.
  bool commit();
  // Removes the temporary file; the target is untouched.
  void abandon();

  // Why the last failed call failed (which system call, its error number);
  // cleared by open().
  const SystemError& lastError() const { return lastError_; }

 private:
  std::intptr_t file_ = -1;  // the platform's handle of the temporary file
  bool writeFailed_ = false;
  std::string target_;
  std::string tempPath_;
  SystemError lastError_;
};

}  // namespace quorvane
