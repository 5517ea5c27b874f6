// The file primitives AtomicFileWriter (atomic_file.cpp) is built on, one
// set per platform (posix/ and win32/atomic_file_*.cpp). Each returns false,
// or 0, and fills `error` on failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/system_error.h"

namespace quorvane::atomic_file {

using FileHandle = std::intptr_t;
inline constexpr FileHandle kNoFile = -1;

// Refuses a target that renaming a new file over it must not replace: a
// directory, or a file this user may not write (creating the file in place
// would be refused too).
bool checkTarget(const std::string& target, SystemError& error);

// Creates a new, empty file beside `target` under a name of its own
// (`target` + ".tmp-" + something unique) with the permissions a newly
// created file gets; fills `file` and `path`.
bool createTemporary(const std::string& target, FileHandle& file, std::string& path,
                     SystemError& error);

// Writes some of `count` bytes (at least one unless it fails); the count.
std::size_t writeSome(FileHandle file, const unsigned char* bytes, std::size_t count,
                      SystemError& error);

// Forces the written bytes to the disk.
bool flushToDisk(FileHandle file, SystemError& error);

bool closeFile(FileHandle file, SystemError& error);

// Renames `from` over `to`, replacing it in one step.
bool replaceFile(const std::string& from, const std::string& to, SystemError& error);

void removeFile(const std::string& path);

}  // namespace quorvane::atomic_file
