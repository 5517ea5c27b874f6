// COM n is the Windows device "COM<n>".
#include <string>

#include "serial/port_map.h"

namespace quorvane {

std::optional<std::string> devicePathForPort(long long portNumber) {
  if (portNumber < 1) return std::nullopt;
  return "COM" + std::to_string(portNumber);
}

}  // namespace quorvane
