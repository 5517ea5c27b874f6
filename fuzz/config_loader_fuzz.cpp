// Loads "Quorvane.cfg" holding arbitrary bytes: portIndex must be the first
// four bytes read little-endian and signed, or 0 when there are fewer; the
// load never fails otherwise. What is loaded is saved again and must come
// back as exactly four bytes that load to the same value.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/app_config.h"

namespace {

using quorvane::AppConfig;

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "config_loader_fuzz: %s\n", what);
    std::abort();
  }
}

// One scratch directory for the whole run, removed at exit (the text is
// never destroyed, so the exit handler can still use it).
const std::string& scratchDirectory() {
  static const std::string* dir = [] {
    const char* tmp = std::getenv("TMPDIR");
    auto* path =
        new std::string(std::string(tmp && *tmp ? tmp : "/tmp") + "/quorvane-cfg-fuzz.XXXXXX");
    check(::mkdtemp(path->data()) != nullptr, "no scratch directory");
    std::atexit([] {
      ::unlink((*dir + "/" + quorvane::kConfigFileName).c_str());
      ::rmdir(dir->c_str());
    });
    return path;
  }();
  return *dir;
}

std::vector<std::uint8_t> readAll(const std::string& path) {
  std::vector<std::uint8_t> bytes;
  if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
    int c;
    while ((c = std::fgetc(f)) != EOF) bytes.push_back(static_cast<std::uint8_t>(c));
    std::fclose(f);
  }
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  AppConfig config;
  config.locateConfigIn(scratchDirectory());
  const std::string& path = config.configPath;
  {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    check(f != nullptr, "cannot write the input file");
    check(size == 0 || std::fwrite(data, 1, size, f) == size, "short input write");
    std::fclose(f);
  }

  config.portIndex = 0x5A5A5A5A;  // must be replaced whatever the file holds
  config.loadConfig();
  std::int32_t expected = 0;
  if (size >= quorvane::kConfigFileSize) {
    const std::uint32_t v = std::uint32_t{data[0]} | std::uint32_t{data[1]} << 8 |
                            std::uint32_t{data[2]} << 16 | std::uint32_t{data[3]} << 24;
    std::memcpy(&expected, &v, sizeof expected);
  }
  check(config.portIndex == expected, "portIndex is not the first four bytes");
  check(config.transferOk == (size >= quorvane::kConfigFileSize), "transferOk");

  // Saving rewrites the file as exactly four bytes, whatever was there.
  check(!config.saveConfig(), "save failed");
  const std::vector<std::uint8_t> saved = readAll(path);
  check(saved.size() == quorvane::kConfigFileSize, "saved file is not four bytes");
  check(
      size < 4 ? saved == std::vector<std::uint8_t>(4, 0) : std::memcmp(saved.data(), data, 4) == 0,
      "saved bytes differ");
  AppConfig again;
  again.locateConfigIn(scratchDirectory());
  again.loadConfig();
  check(again.portIndex == expected, "saved value does not load back");
  return 0;
}
