// COM n is the Windows device "COM<n>" unless QUORVANE_COM<n> names another
// one (QUORVANE_COM1=COM7 for an adapter that Windows numbered 7). The
// backend opens every name in the device namespace ("\\.\COM12"), so
// numbers above 9 work too.
#include <cstdlib>
#include <string>

#include "serial/port_map.h"

namespace quorvane {

std::optional<std::string> devicePathForPort(long long portNumber) {
  if (portNumber < 1) return std::nullopt;
  const char* chosen = std::getenv(portOverrideVariable(portNumber).c_str());
  if (chosen && *chosen) return std::string(chosen);
  return "COM" + std::to_string(portNumber);
}

}  // namespace quorvane
