// COM n is the Windows device "COM<n>" by default (the backend opens every
// name in the device namespace, "\\.\COM12", so numbers above 9 work too);
// the user's configuration lives under %APPDATA%.
#include <cstdlib>
#include <string>

#include "serial/port_map.h"

namespace quorvane {

std::string defaultDeviceForPort(long long portNumber) {
  return "COM" + std::to_string(portNumber);
}

std::string userConfigFolder() {
  const char* appData = std::getenv("APPDATA");
  return appData && *appData ? std::string(appData) : std::string();
}

std::string portMapPath() {
  const std::string folder = userConfigFolder();
  return folder.empty() ? folder : folder + "\\Quorvane\\ports.conf";
}

}  // namespace quorvane
