// Serial devices on Windows as the system keeps them: the serial device map
// (HKLM\HARDWARE\DEVICEMAP\SERIALCOMM, where every serial driver registers
// its ports), the Ports class devices of SetupAPI that are plugged in, and
// the "COM<n>" names of the DOS device namespace; each with the kernel device
// it stands for.
#include <windows.h>
// After windows.h:
#include <devguid.h>
#include <setupapi.h>

#include <algorithm>
#include <map>
#include <utility>

#include "serial/port_map.h"
#include "serial/serial_devices.h"

namespace quorvane {

namespace {

constexpr std::size_t kNameListLimit = 16u << 20;

// "COM7" -> 7; 0 for any other name. Any number: Windows numbers ports past
// the map's range too.
unsigned long comNumber(const std::string& name) {
  return static_cast<unsigned long>(comNameNumber(name, 1'000'000'000).value_or(0));
}

std::string dosDeviceTarget(const std::string& name) {
  char target[1024];
  const DWORD length = ::QueryDosDeviceA(name.c_str(), target, sizeof target);
  if (length == 0) return {};
  return std::string(target);  // the first of the NUL-separated targets
}

// The names of the serial device map, each with the kernel device it
// stands for ("(serial device map: \Device\Serial0)").
void addSerialMap(std::map<std::string, std::string>& found) {
  for (const SerialMapEntry& e : serialDeviceMap())
    if (comNumber(e.port) != 0) found[e.port] = "(serial device map: " + e.kernelDevice + ")";
}

// The PortName of every Ports class device plugged in.
void addPortsClass(std::map<std::string, std::string>& found) {
  const HDEVINFO set =
      ::SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return;
  SP_DEVINFO_DATA info{};
  info.cbSize = sizeof info;
  for (DWORD i = 0; ::SetupDiEnumDeviceInfo(set, i, &info); ++i) {
    const HKEY key = ::SetupDiOpenDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) continue;
    char name[64] = "";
    DWORD size = sizeof name - 1, type = 0;
    if (::RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size) ==
            ERROR_SUCCESS &&
        type == REG_SZ && comNumber(name) != 0)
      found[name];
    ::RegCloseKey(key);
  }
  ::SetupDiDestroyDeviceInfoList(set);
}

}  // namespace

bool serialDevicePresent(const std::string& device) {
  const std::string name(withoutDeviceNamespace(device));
  char target[1024];
  return !name.empty() && ::QueryDosDeviceA(name.c_str(), target, sizeof target) != 0;
}

std::vector<SerialDeviceFound> serialDevicesPresent() {
  std::map<std::string, std::string> found;  // name -> what it stands for
  addSerialMap(found);
  addPortsClass(found);
  std::vector<char> names(64 * 1024);
  DWORD length = 0;
  while ((length = ::QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()))) ==
             0 &&
         ::GetLastError() == ERROR_INSUFFICIENT_BUFFER && names.size() < kNameListLimit)
    names.resize(names.size() * 2);
  for (std::size_t at = 0; at < length && names[at] != '\0';) {
    const std::string name(names.data() + at);
    at += name.size() + 1;
    if (comNumber(name) == 0 || !found[name].empty()) continue;
    const std::string target = dosDeviceTarget(name);
    found[name] = target.empty() ? "" : "-> " + target;
  }
  std::vector<std::pair<unsigned long, SerialDeviceFound>> list;
  for (const auto& [name, target] : found) list.push_back({comNumber(name), {name, target}});
  std::sort(list.begin(), list.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<SerialDeviceFound> sorted;
  for (auto& entry : list) sorted.push_back(std::move(entry.second));
  return sorted;
}

std::vector<SerialMapEntry> serialDeviceMap() {
  std::vector<SerialMapEntry> entries;
  HKEY map = nullptr;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &map) !=
      ERROR_SUCCESS)
    return entries;
  for (DWORD i = 0;; ++i) {
    char name[256], value[64];
    DWORD nameSize = sizeof name, valueSize = sizeof value - 1, type = 0;
    if (::RegEnumValueA(map, i, name, &nameSize, nullptr, &type, reinterpret_cast<BYTE*>(value),
                        &valueSize) != ERROR_SUCCESS)
      break;
    value[valueSize] = '\0';
    if (type == REG_SZ) entries.push_back({name, value});
  }
  ::RegCloseKey(map);
  return entries;
}

}  // namespace quorvane
