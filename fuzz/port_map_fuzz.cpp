// Parses a COM map file of arbitrary bytes: every COM number taken is in
// 1..kMaxMappedPort with a device that is not empty and has no line break,
// and every other line of content is reported once. What is taken, written
// out again, parses back to the same map with nothing ignored.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "serial/port_map.h"

namespace {

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "port_map_fuzz: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const quorvane::PortMapFile file = quorvane::parsePortMap(text);
  for (const auto& [n, device] : file.devices) {
    check(n >= 1 && n <= quorvane::kMaxMappedPort, "COM number out of range");
    check(!device.empty(), "empty device");
    check(device.find('\n') == std::string::npos, "device holds a line break");
  }
  int lastLine = 0;
  for (const auto& [line, content] : file.ignoredLines) {
    check(line > lastLine, "ignored lines out of order or twice");
    check(!content.empty() && content.front() != '#', "a comment or blank line reported");
    lastLine = line;
  }
  const quorvane::PortMapFile again = quorvane::parsePortMap(quorvane::portMapText(file.devices));
  check(again.devices == file.devices, "written map does not parse back");
  check(again.ignoredLines.empty(), "written map has ignored lines");
  return 0;
}
