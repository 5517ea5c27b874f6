// doctor's facts on Windows: the Ports class device whose PortName is the
// port (its driver service, provider and version from the driver key, its
// status and problem code from the configuration manager, an FTDI
// adapter's LatencyTimer from its device parameters) and every device that
// claims the same COM name, present or not, in SetupAPI or the serial
// device map. COM ports carry no per-user rights and Windows names no
// holder of a port, so those facts stay empty.
#include <windows.h>
// After windows.h:
#include <cfgmgr32.h>
#include <devguid.h>
#include <setupapi.h>

#include "doctor.h"
#include "serial/serial_devices.h"

namespace quorvane::cli {

namespace {

std::string portNameOf(const std::string& device) {
  return device.rfind("\\\\.\\", 0) == 0 ? device.substr(4) : device;
}

std::string registryString(HKEY key, const char* name) {
  char value[512] = "";
  DWORD size = sizeof value - 1, type = 0;
  if (::RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) !=
          ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ))
    return {};
  value[size < sizeof value ? size : sizeof value - 1] = '\0';
  return value;
}

std::optional<DWORD> registryNumber(HKEY key, const char* name) {
  DWORD value = 0, size = sizeof value, type = 0;
  if (::RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
          ERROR_SUCCESS ||
      type != REG_DWORD)
    return std::nullopt;
  return value;
}

std::string deviceProperty(HDEVINFO set, SP_DEVINFO_DATA& info, DWORD which) {
  char buffer[512] = "";
  if (!::SetupDiGetDeviceRegistryPropertyA(
          set, &info, which, nullptr, reinterpret_cast<BYTE*>(buffer), sizeof buffer - 1, nullptr))
    return {};
  return buffer;
}

// The devices the serial device map lists under `port` ("\Device\Serial0").
std::vector<std::string> serialMapEntries(const std::string& port) {
  std::vector<std::string> names;
  for (const SerialMapEntry& e : serialDeviceMap())
    if (::lstrcmpiA(e.port.c_str(), port.c_str()) == 0) names.push_back(e.kernelDevice);
  return names;
}

}  // namespace

DoctorFacts gatherDoctorFacts(const std::string& device, const DoctorSubject&) {
  DoctorFacts f;
  const std::string port = portNameOf(device);
  std::vector<std::string> claimants;
  // Every Ports class device the system knows, plugged in or not: one that
  // is not keeps its COM number.
  const HDEVINFO set = ::SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, 0);
  if (set != INVALID_HANDLE_VALUE) {
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    for (DWORD i = 0; ::SetupDiEnumDeviceInfo(set, i, &info); ++i) {
      const HKEY parameters =
          ::SetupDiOpenDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
      if (parameters == INVALID_HANDLE_VALUE) continue;
      const bool ours =
          ::lstrcmpiA(registryString(parameters, "PortName").c_str(), port.c_str()) == 0;
      const std::optional<DWORD> latency = registryNumber(parameters, "LatencyTimer");
      ::RegCloseKey(parameters);
      if (!ours) continue;
      ULONG status = 0, problem = 0;
      const bool present =
          ::CM_Get_DevNode_Status(&status, &problem, info.DevInst, 0) == CR_SUCCESS;
      std::string name = deviceProperty(set, info, SPDRP_FRIENDLYNAME);
      if (name.empty()) name = deviceProperty(set, info, SPDRP_DEVICEDESC);
      claimants.push_back(name + (present ? "" : " (not plugged in)"));
      if (!present) continue;
      if (status & DN_HAS_PROBLEM) f.problemCode = problem;
      f.driver = deviceProperty(set, info, SPDRP_SERVICE);
      if (latency) f.latencyTimerMs = static_cast<int>(*latency);
      const HKEY driver =
          ::SetupDiOpenDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
      if (driver != INVALID_HANDLE_VALUE) {
        f.driverProvider = registryString(driver, "ProviderName");
        f.driverVersion = registryString(driver, "DriverVersion");
        ::RegCloseKey(driver);
      }
    }
    ::SetupDiDestroyDeviceInfoList(set);
  }
  // The serial device map: each kernel device that registered the name.
  const std::vector<std::string> mapped = serialMapEntries(port);
  if (mapped.size() > 1)
    for (const std::string& m : mapped) claimants.push_back(m + " (serial device map)");
  if (claimants.size() > 1) f.sameComNumber = claimants;
  return f;
}

}  // namespace quorvane::cli
