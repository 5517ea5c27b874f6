// Writes a file completely or not at all: the bytes go to a temporary file
// beside the target, which replaces the target only once everything is
// written and flushed to disk. Until then, and after any failure, an
// earlier file at the target stays as it was.
#pragma once

#include <cstddef>
#include <string>

namespace quorvane {

class AtomicFileWriter {
 public:
  AtomicFileWriter() = default;
  ~AtomicFileWriter();  // abandons an uncommitted file
  AtomicFileWriter(const AtomicFileWriter&) = delete;
  AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

  // Creates the temporary file beside `target`. False when it can't be
  // created (missing or unwritable directory).
  bool open(const std::string& target);
  // Writes all `count` bytes or returns false.
  bool write(const void* bytes, std::size_t count);
  // Flushes, syncs and renames over the target. False on failure, in which
  // case the temporary file is removed and the target is untouched.
  bool commit();
  // Removes the temporary file; the target is untouched.
  void abandon();

 private:
  int fd_ = -1;
  std::string target_;
  std::string tempPath_;
};

}  // namespace quorvane
