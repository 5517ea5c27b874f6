#include <direct.h>

#include <cerrno>
#include <climits>
#include <vector>

#include "base/platform_paths.h"

namespace quorvane {

const char kPathSeparator = '\\';

std::optional<std::string> readCurrentDirectory(std::size_t bufferSize, bool* tooLong) {
  if (bufferSize > INT_MAX) bufferSize = INT_MAX;
  std::vector<char> buffer(bufferSize);
  *tooLong = false;
  if (::_getcwd(buffer.data(), static_cast<int>(buffer.size())) != nullptr)
    return std::string(buffer.data());
  *tooLong = errno == ERANGE;
  return std::nullopt;
}

}  // namespace quorvane
