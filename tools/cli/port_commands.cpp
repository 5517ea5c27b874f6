#include "port_commands.h"

#include <charconv>
#include <filesystem>

#include "base/app_config.h"
#include "cli_platform.h"
#include "diagnosis.h"
#include "serial/device_identity.h"
#include "serial/port_map.h"
#include "serial/serial_port.h"

namespace quorvane::cli {

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

std::string sourceOf(long long n, PortSource source) {
  switch (source) {
    case PortSource::Environment:
      return portOverrideVariable(n);
    case PortSource::MapFile:
      return "map file";
    default:
      return "default";
  }
}

// "  COM1  /dev/ttyS0  (default, present)", the probe's verdict after it
// when `probe` is set and the device is there.
std::string comLine(long long n, bool probe) {
  const PortMapping mapping = mapPort(n);
  const std::string path = mapping.device.value_or("-");
  const bool present = serialDevicePresent(path);
  std::string line = "  COM" + std::to_string(n) + "  " + path + "  (" +
                     sourceOf(n, mapping.source) + ", " + (present ? "present" : "absent") + ")";
  if (probe && present) line += "  " + describeProbe(path, probeDevice(path));
  return line + "\n";
}

std::string identityText(const std::string& device) {
  const std::optional<DeviceIdentity> id = identifyDevice(device);
  if (!id) return {};
  std::string text = id->describe();
  if (!id->stableLink.empty()) text += (text.empty() ? "" : "  ") + id->stableLink;
  return text.empty() ? text : "  " + text;
}

std::optional<long long> portArgument(const std::string& text) {
  long long n = 0;
  const char* end = text.data() + text.size();
  const auto [at, ec] = std::from_chars(text.data(), end, n);
  if (ec != std::errc() || at != end || n < 1 || n > kMaxMappedPort) return std::nullopt;
  return n;
}

std::string mapFileLines() {
  const std::string path = portMapPath();
  if (path.empty())
    return "map file: none (no configuration folder: set HOME or XDG_CONFIG_HOME)\n";
  const PortMapFile file = loadPortMap();
  std::string out = "map file: " + path + "\n";
  for (const auto& [n, device] : file.devices)
    if (n > kComPortCount) out += "  COM" + std::to_string(n) + "=" + device + "\n";
  for (const auto& [line, text] : file.ignoredLines)
    out += "  line " + std::to_string(line) + " ignored (not COM<n>=device): " + text + "\n";
  return out;
}

}  // namespace

int runPorts(const Options&, Console& console) {
  std::string out = "COM ports:\n";
  for (long long n = 1; n <= kComPortCount; ++n) out += comLine(n, true);
  AppConfig config;
  config.locateConfig();
  config.loadConfig();
  std::error_code missing;
  if (!std::filesystem::exists(config.configPath, missing))
    out += "selected: COM1, the default, because there is no " + config.configPath + "\n";
  else
    out += "selected: COM" + std::to_string(portNumberFromIndex(config.portIndex)) +
           " (portIndex " + std::to_string(config.portIndex) + ", " + config.configPath + ")\n";
  out += "serial devices:\n";
  const std::vector<SerialDeviceFound> found = serialDevicesPresent();
  for (const SerialDeviceFound& f : found)
    out += "  " + f.device + (f.detail.empty() ? "" : " " + f.detail) + identityText(f.device) +
           "  " + describeProbe(f.device, probeDevice(f.device)) + "\n";
  if (found.empty()) out += "  none\n";
  out.pop_back();
  console.result("", out);
  return kExitOk;
}

int runMap(const Options& o, Console& console) {
  if (o.args.empty()) {
    std::string out;
    for (long long n = 1; n <= kComPortCount; ++n) out += comLine(n, false);
    out += mapFileLines();
    out.pop_back();
    console.result("", out);
    return kExitOk;
  }
  const std::optional<long long> n = portArgument(o.args[0]);
  if (!n || o.args.size() != 2) {
    console.failure("quorvane-cli: ", "map needs a COM number from 1 to " +
                                          std::to_string(kMaxMappedPort) +
                                          " and a device or --clear");
    return kExitUsage;
  }
  const bool clear = o.args[1] == "--clear";
  PortMapFile file = loadPortMap();
  if (clear)
    file.devices.erase(*n);
  else
    file.devices[*n] = o.args[1];
  SystemError why;
  if (!savePortMap(file.devices, why)) {
    console.failure("quorvane-cli: ", explainFileFailure(portMapPath(), why).line());
    return kExitFailed;
  }
  const PortMapping now = mapPort(*n);
  std::string out = "COM" + std::to_string(*n) + " -> " + now.device.value_or("-") + " (" +
                    sourceOf(*n, now.source) + "), map saved in " + portMapPath();
  if (!file.ignoredLines.empty())
    out.append(1, '\n').append(std::to_string(file.ignoredLines.size()) +
                               " ignored line(s) dropped");
  if (now.source == PortSource::Environment)
    out += "\nnote: " + portOverrideVariable(*n) + " is set and wins over the map file";
  console.result("", out);
  return kExitOk;
}

}  // namespace quorvane::cli
