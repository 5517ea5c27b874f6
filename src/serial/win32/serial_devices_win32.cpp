// Serial devices on Windows: the "COM<n>" names of the DOS device
// namespace, each with the kernel device it stands for.
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <utility>

#include "serial/serial_devices.h"

namespace quorvane {

namespace {

constexpr std::size_t kNameListLimit = 16u << 20;

// "COM7" -> 7; 0 for any other name.
unsigned long comNumber(const std::string& name) {
  if (name.size() < 4 || name.size() > 12 || name.compare(0, 3, "COM") != 0) return 0;
  unsigned long n = 0;
  for (std::size_t i = 3; i < name.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(name[i]))) return 0;
    n = n * 10 + static_cast<unsigned long>(name[i] - '0');
  }
  return n;
}

std::string dosDeviceTarget(const std::string& name) {
  char target[1024];
  const DWORD length = ::QueryDosDeviceA(name.c_str(), target, sizeof target);
  if (length == 0) return {};
  return std::string(target);  // the first of the NUL-separated targets
}

}  // namespace

bool serialDevicePresent(const std::string& device) {
  std::string name = device;
  if (name.rfind("\\\\.\\", 0) == 0) name.erase(0, 4);
  char target[1024];
  return !name.empty() && ::QueryDosDeviceA(name.c_str(), target, sizeof target) != 0;
}

std::vector<SerialDeviceFound> serialDevicesPresent() {
  std::vector<char> names(64 * 1024);
  DWORD length = 0;
  while ((length = ::QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()))) ==
             0 &&
         ::GetLastError() == ERROR_INSUFFICIENT_BUFFER && names.size() < kNameListLimit)
    names.resize(names.size() * 2);

  std::vector<std::pair<unsigned long, SerialDeviceFound>> found;
  for (std::size_t at = 0; at < length && names[at] != '\0';) {
    const std::string name(names.data() + at);
    at += name.size() + 1;
    if (const unsigned long n = comNumber(name)) {
      const std::string target = dosDeviceTarget(name);
      found.push_back({n, {name, target.empty() ? "" : "-> " + target}});
    }
  }
  std::sort(found.begin(), found.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<SerialDeviceFound> list;
  for (auto& entry : found) list.push_back(std::move(entry.second));
  return list;
}

}  // namespace quorvane
