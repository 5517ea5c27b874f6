// The COM map written once for every platform: the environment, the map
// file, the platform's default.
#include "serial/port_map.h"

#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/atomic_file.h"

namespace quorvane {

namespace {

std::string_view trimmed(std::string_view s) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

}  // namespace

std::optional<long long> comNameNumber(std::string_view name, long long limit) {
  if (name.size() < 4 || name.substr(0, 3) != "COM" || name[3] == '0') return std::nullopt;
  long long n = 0;
  const char* end = name.data() + name.size();
  const auto [at, ec] = std::from_chars(name.data() + 3, end, n);
  if (ec != std::errc() || at != end || n < 1 || n > limit) return std::nullopt;
  return n;
}

std::string_view withoutDeviceNamespace(std::string_view name) {
  return name.starts_with("\\\\.\\") ? name.substr(4) : name;
}

std::string portOverrideVariable(long long portNumber) {
  return "QUORVANE_COM" + std::to_string(portNumber);
}

PortMapping mapPort(long long portNumber) {
  if (portNumber < 1) return {};
  const char* chosen = std::getenv(portOverrideVariable(portNumber).c_str());
  if (chosen && *chosen) return {std::string(chosen), PortSource::Environment};
  PortMapFile file = loadPortMap();
  if (auto it = file.devices.find(portNumber); it != file.devices.end())
    return {std::move(it->second), PortSource::MapFile};
  return {defaultDeviceForPort(portNumber), PortSource::Default};
}

std::optional<std::string> devicePathForPort(long long portNumber) {
  return mapPort(portNumber).device;
}

PortMapFile parsePortMap(std::string_view text) {
  PortMapFile file;
  int number = 0;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = trimmed(text.substr(start, end - start));
    start = end + 1;
    ++number;
    if (line.empty() || line.front() == '#') continue;
    const std::size_t eq = line.find('=');
    const std::optional<long long> com =
        eq == std::string_view::npos ? std::nullopt : comNameNumber(trimmed(line.substr(0, eq)));
    const std::string_view device =
        eq == std::string_view::npos ? std::string_view() : trimmed(line.substr(eq + 1));
    if (com && !device.empty() && device.find('\0') == std::string_view::npos)
      file.devices[*com] = std::string(device);
    else
      file.ignoredLines.emplace_back(number, std::string(line));
  }
  return file;
}

std::string portMapText(const std::map<long long, std::string>& devices) {
  std::string text;
  for (const auto& [n, device] : devices) text += "COM" + std::to_string(n) + "=" + device + "\n";
  return text;
}

PortMapFile loadPortMap() {
  const std::string path = portMapPath();
  if (path.empty()) return {};
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::ostringstream text;
  text << in.rdbuf();
  return parsePortMap(text.str());
}

bool savePortMap(const std::map<long long, std::string>& devices, SystemError& why) {
  const std::string path = portMapPath();
  if (path.empty()) {
    why = SystemError::of("no configuration folder", ErrorKind::NotFound);
    return false;
  }
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  AtomicFileWriter out;
  const std::string text = portMapText(devices);
  if (out.open(path) && out.write(text.data(), text.size()) && out.commit()) return true;
  why = out.lastError();
  return false;
}

}  // namespace quorvane
