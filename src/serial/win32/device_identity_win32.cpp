// A COM port's identity from SetupAPI: among the present devices of the
// Ports class, the one whose "PortName" is the port; its friendly name
// ("USB Serial Port (COM7)"), maker, and the vendor and product ids of its
// hardware id ("USB\VID_0403&PID_6001..."); the serial number is the last
// part of a USB device's instance id.
#include <windows.h>
// After windows.h:
#include <devguid.h>
#include <setupapi.h>

#include "serial/device_identity.h"
#include "serial/port_map.h"

namespace quorvane {

namespace {

std::string property(HDEVINFO set, SP_DEVINFO_DATA& info, DWORD which) {
  char buffer[1024] = "";
  if (!::SetupDiGetDeviceRegistryPropertyA(
          set, &info, which, nullptr, reinterpret_cast<BYTE*>(buffer), sizeof buffer - 1, nullptr))
    return {};
  return buffer;  // the first string of a list
}

std::string portNameOf(HDEVINFO set, SP_DEVINFO_DATA& info) {
  const HKEY key = ::SetupDiOpenDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  if (key == INVALID_HANDLE_VALUE) return {};
  char name[64] = "";
  DWORD size = sizeof name - 1, type = 0;
  const bool ok = ::RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(name),
                                     &size) == ERROR_SUCCESS &&
                  type == REG_SZ;
  ::RegCloseKey(key);
  return ok ? name : "";
}

// The four hex digits after `tag` ("VID_") in a hardware id.
std::string idAfter(const std::string& hardwareId, const char* tag) {
  const std::size_t at = hardwareId.find(tag);
  return at == std::string::npos ? std::string() : hardwareId.substr(at + 4, 4);
}

}  // namespace

std::optional<DeviceIdentity> identifyDevice(const std::string& devicePath) {
  const std::string port(withoutDeviceNamespace(devicePath));
  const HDEVINFO set =
      ::SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return std::nullopt;
  std::optional<DeviceIdentity> found;
  SP_DEVINFO_DATA info{};
  info.cbSize = sizeof info;
  for (DWORD i = 0; !found && ::SetupDiEnumDeviceInfo(set, i, &info); ++i) {
    if (::lstrcmpiA(portNameOf(set, info).c_str(), port.c_str()) != 0) continue;
    DeviceIdentity id;
    id.friendlyName = property(set, info, SPDRP_FRIENDLYNAME);
    id.manufacturer = property(set, info, SPDRP_MFG);
    const std::string hardwareId = property(set, info, SPDRP_HARDWAREID);
    id.vendorId = idAfter(hardwareId, "VID_");
    id.productId = idAfter(hardwareId, "PID_");
    char instance[512] = "";
    if (hardwareId.rfind("USB\\", 0) == 0 &&
        ::SetupDiGetDeviceInstanceIdA(set, &info, instance, sizeof instance, nullptr)) {
      const std::string text = instance;
      id.serial = text.substr(text.rfind('\\') + 1);
    }
    found = id;
  }
  ::SetupDiDestroyDeviceInfoList(set);
  return found;
}

}  // namespace quorvane
