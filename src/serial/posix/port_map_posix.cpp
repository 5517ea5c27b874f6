// COM n is /dev/ttyS<n-1> by default; the user's configuration lives under
// $XDG_CONFIG_HOME (an absolute path), else ~/.config.
#include <cstdlib>
#include <string>

#include "serial/port_map.h"

namespace quorvane {

std::string defaultDeviceForPort(long long portNumber) {
  return "/dev/ttyS" + std::to_string(portNumber - 1);
}

std::string userConfigFolder() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && *xdg == '/') return xdg;
  const char* home = std::getenv("HOME");
  return home && *home ? std::string(home) + "/.config" : std::string();
}

std::string portMapPath() {
  const std::string folder = userConfigFolder();
  return folder.empty() ? folder : folder + "/quorvane/ports.conf";
}

}  // namespace quorvane
