// COM n is /dev/ttyS<n-1> unless QUORVANE_COM<n> names another device.
#include <cstdlib>
#include <string>

#include "serial/port_map.h"

namespace quorvane {

std::optional<std::string> devicePathForPort(long long portNumber) {
  if (portNumber < 1) return std::nullopt;
  const char* chosen = std::getenv(portOverrideVariable(portNumber).c_str());
  if (chosen && *chosen) return std::string(chosen);
  return "/dev/ttyS" + std::to_string(portNumber - 1);
}

}  // namespace quorvane
