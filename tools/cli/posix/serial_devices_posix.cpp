// Serial devices on POSIX: the links under /dev/serial/by-id with the
// device each points to, and the ttyUSB*, ttyACM* and ttyS* nodes.
#include <filesystem>
#include <set>

#include "cli_platform.h"

namespace quorvane::cli {

namespace fs = std::filesystem;

bool serialDevicePresent(const std::string& device) {
  std::error_code ec;
  return fs::exists(device, ec);
}

std::vector<std::string> serialDevicesPresent() {
  std::set<std::string> found;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator("/dev/serial/by-id", ec)) {
    std::error_code ec2;
    const fs::path target = fs::canonical(e.path(), ec2);
    found.insert(e.path().string() + (ec2 ? "" : " -> " + target.string()));
  }
  for (const auto& e : fs::directory_iterator("/dev", ec)) {
    const std::string name = e.path().filename().string();
    for (const char* prefix : {"ttyUSB", "ttyACM", "ttyS"})
      if (name.rfind(prefix, 0) == 0) found.insert(e.path().string());
  }
  return {found.begin(), found.end()};
}

}  // namespace quorvane::cli
