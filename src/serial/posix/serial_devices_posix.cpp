// Serial devices on POSIX: the ttyUSB*, ttyACM* and ttyS* nodes and the
// devices the links under /dev/serial/by-id lead to.
#include <filesystem>
#include <map>

#include "serial/serial_devices.h"

namespace quorvane {

namespace fs = std::filesystem;

bool serialDevicePresent(const std::string& device) {
  std::error_code ec;
  return fs::exists(device, ec);
}

std::vector<SerialDeviceFound> serialDevicesPresent() {
  std::map<std::string, std::string> found;  // sorted by path
  std::error_code ec;
  // Whatever a stable link leads to, and the usual serial nodes; each
  // device's own line names its link (ports).
  for (const auto& e : fs::directory_iterator("/dev/serial/by-id", ec)) {
    std::error_code ec2;
    const fs::path target = fs::canonical(e.path(), ec2);
    if (!ec2) found[target.string()];
  }
  for (const auto& e : fs::directory_iterator("/dev", ec)) {
    const std::string name = e.path().filename().string();
    for (const char* prefix : {"ttyUSB", "ttyACM", "ttyS"})
      if (name.rfind(prefix, 0) == 0) found[e.path().string()];
  }
  std::vector<SerialDeviceFound> list;
  for (const auto& [device, detail] : found) list.push_back({device, detail});
  return list;
}

std::vector<SerialMapEntry> serialDeviceMap() {
  return {};
}

}  // namespace quorvane
