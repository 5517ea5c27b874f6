// A COM port's identity from SetupAPI: among the present devices of the
// Ports class, the one whose "PortName" is the port; its friendly name
// ("USB Serial Port (COM7)") and maker. A USB adapter's vendor and product
// ids and serial number come from its USB device, the port's parent in the
// configuration manager ("USB\VID_0403&PID_6001\A50285BI"), so that FTDI's
// own driver (whose port is "FTDIBUS\VID_0403+PID_6001+A50285BIA\0000")
// gives the real serial number. A device without a serial number gets an
// instance id that Windows makes up ("5&1A2B3C4D&0&2", with '&'): none is
// shown then.
#include <windows.h>
// After windows.h:
#include <cfgmgr32.h>
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

// The instance id of the device's nearest ancestor that is a USB device
// ("USB\VID_...&PID_...\serial"); empty when there is none.
std::string usbAncestorId(DEVINST device) {
  for (int level = 0; level < 4; ++level) {
    char id[MAX_DEVICE_ID_LEN] = "";
    if (::CM_Get_Device_IDA(device, id, sizeof id, 0) != CR_SUCCESS) return {};
    if (std::string(id).rfind("USB\\VID_", 0) == 0) return id;
    DEVINST parent = 0;
    if (::CM_Get_Parent(&parent, device, 0) != CR_SUCCESS) return {};
    device = parent;
  }
  return {};
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
    const std::string usb = usbAncestorId(info.DevInst);
    const std::string ids = usb.empty() ? hardwareId : usb;
    id.vendorId = idAfter(ids, "VID_");
    id.productId = idAfter(ids, "PID_");
    const std::size_t last = usb.rfind('\\');
    if (last != std::string::npos && usb.find('&', last) == std::string::npos)
      id.serial = usb.substr(last + 1);
    found = id;
  }
  ::SetupDiDestroyDeviceInfoList(set);
  return found;
}

}  // namespace quorvane
