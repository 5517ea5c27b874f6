#include <unistd.h>

#include <cerrno>
#include <vector>

#include "base/platform_paths.h"

namespace quorvane {

const char kPathSeparator = '/';

std::optional<std::string> readCurrentDirectory(std::size_t bufferSize, bool* tooLong) {
  std::vector<char> buffer(bufferSize);
  *tooLong = false;
  if (::getcwd(buffer.data(), buffer.size()) != nullptr) return std::string(buffer.data());
  *tooLong = errno == ERANGE;
  return std::nullopt;
}

}  // namespace quorvane
