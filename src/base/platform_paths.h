// What the configuration needs of the platform's file system naming.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace quorvane {

// The directory separator: '/' on POSIX, '\\' on Windows.
extern const char kPathSeparator;

// The process's current directory read into a buffer of `bufferSize` bytes
// (terminator included). Nothing when it doesn't fit (`tooLong` set) or
// can't be read at all.
std::optional<std::string> readCurrentDirectory(std::size_t bufferSize, bool* tooLong);

}  // namespace quorvane
