// Serial devices on Windows: the "COM<n>" names of the DOS device
// namespace, each with the kernel device it stands for.
#include <windows.h>

#include <algorithm>
#include <utility>

#include "cli_platform.h"
#include "serial/port_map.h"

namespace quorvane::cli {

namespace {

constexpr std::size_t kNameListLimit = 16u << 20;

std::string dosDeviceTarget(const std::string& name) {
  char target[1024];
  const DWORD length = ::QueryDosDeviceA(name.c_str(), target, sizeof target);
  if (length == 0) return {};
  return std::string(target);  // the first of the NUL-separated targets
}

}  // namespace

bool serialDevicePresent(const std::string& device) {
  const std::string name(withoutDeviceNamespace(device));
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
    // Any COM number: Windows numbers ports past the map's range too.
    if (const auto n = comNameNumber(name, 1'000'000'000)) {
      const std::string target = dosDeviceTarget(name);
      found.push_back(
          {static_cast<unsigned long>(*n), {name, target.empty() ? "" : "-> " + target}});
    }
  }
  std::sort(found.begin(), found.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<SerialDeviceFound> list;
  for (auto& entry : found) list.push_back(std::move(entry.second));
  return list;
}

}  // namespace quorvane::cli
