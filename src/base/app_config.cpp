#include "base/app_config.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "base/atomic_file.h"
#include "base/platform_paths.h"

namespace quorvane {

namespace {

// A current directory longer than kCurrentDirBufferSize is fetched again
// into buffers twice as large, up to this size.
constexpr std::size_t kCurrentDirMaxBufferSize = std::size_t{1} << 20;

// Used as the start directory when the current directory cannot be read
// (for example because it has been removed): the file is then looked for,
// and written, relative to whatever the current directory is.
constexpr const char* kCurrentDirFallback = ".";

std::vector<AppConfig*>& liveConfigs() {
  static auto* configs = new std::vector<AppConfig*>();  // outlives every AppConfig
  return *configs;
}

bool isWhiteSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string currentDirectory() {
  for (std::size_t size = kCurrentDirBufferSize;; size *= 2) {
    bool tooLong = false;
    if (auto dir = readCurrentDirectory(size, &tooLong)) return *dir;
    if (!tooLong || size >= kCurrentDirMaxBufferSize) return kCurrentDirFallback;
  }
}

class FileLoadStream final : public ConfigStream {
 public:
  explicit FileLoadStream(std::FILE* file) : file_(file) {}
  bool isLoading() const override { return true; }
  bool transfer(std::uint8_t* bytes, std::size_t count) override {
    return std::fread(bytes, 1, count, file_) == count;
  }

 private:
  std::FILE* file_;
};

class FileStoreStream final : public ConfigStream {
 public:
  explicit FileStoreStream(AtomicFileWriter& writer) : writer_(writer) {}
  bool isLoading() const override { return false; }
  bool transfer(std::uint8_t* bytes, std::size_t count) override {
    return writer_.write(bytes, count);
  }

 private:
  AtomicFileWriter& writer_;
};

// The file is replaced by renaming a new one over it, which would succeed
// even where the file itself could not be written. Where something is at
// the path already, it has to be a file that can be opened for writing.
bool targetWritable(const std::string& path) {
  std::error_code ec;
  const auto type = std::filesystem::status(path, ec).type();
  if (type == std::filesystem::file_type::not_found) return true;
  if (type != std::filesystem::file_type::regular) return false;
  std::FILE* file = std::fopen(path.c_str(), "r+b");  // neither creates nor truncates
  if (!file) return false;
  std::fclose(file);
  return true;
}

}  // namespace

AppConfig::AppConfig() {
  liveConfigs().push_back(this);
}

AppConfig::~AppConfig() {
  auto& configs = liveConfigs();
  configs.erase(std::remove(configs.begin(), configs.end(), this), configs.end());
}

AppConfig& AppConfig::instance() {
  auto& configs = liveConfigs();
  if (configs.empty()) {
    // Only reached when no record has been made yet (a tool or test using
    // a dialog on its own); this one then serves until the process ends.
    static AppConfig fallback;
    return fallback;
  }
  return *configs.back();
}

void AppConfig::locateConfig() {
  locateConfigIn(currentDirectory());
}

void AppConfig::locateConfigIn(const std::string& currentDirectory) {
  const auto first =
      std::find_if_not(currentDirectory.begin(), currentDirectory.end(), isWhiteSpace);
  const auto last = std::find_if_not(currentDirectory.rbegin(),
                                     std::string::const_reverse_iterator(first), isWhiteSpace);
  startDirectory.assign(first, last.base());
  if (startDirectory.empty()) {
    configPath = kConfigFileName;  // nothing to put in front: relative to the current directory
  } else if (startDirectory.back() == kPathSeparator) {
    configPath = startDirectory + kConfigFileName;
  } else {
    configPath = startDirectory + kPathSeparator + kConfigFileName;
  }
}

void AppConfig::loadConfig() {
  // Only a regular file is read: opening a FIFO or a device placed at the
  // path would block start-up, and a directory holds no setting.
  std::error_code ec;
  const bool regular =
      !configPath.empty() && std::filesystem::is_regular_file(configPath, ec) && !ec;
  std::FILE* file = regular ? std::fopen(configPath.c_str(), "rb") : nullptr;
  if (!file) {
    resetDefaults();
    return;
  }
  FileLoadStream stream(file);
  serialize(stream);
  std::fclose(file);
  if (!transferOk) resetDefaults();
}

std::optional<Notice> AppConfig::saveConfig() {
  AtomicFileWriter writer;
  if (configPath.empty() || !targetWritable(configPath) || !writer.open(configPath))
    return Notice::of(MessageId::ConfigOpenFailed);
  FileStoreStream stream(writer);
  serialize(stream);
  if (!transferOk) return Notice::of(MessageId::ConfigWriteFailed);  // writer abandons the file
  if (!writer.commit()) return Notice::of(MessageId::ConfigWriteFailed);
  return std::nullopt;
}

void AppConfig::serialize(ConfigStream& stream) {
  transferOk = false;
  std::uint8_t bytes[kConfigFileSize];
  if (stream.isLoading()) {
    if (!stream.transfer(bytes, kConfigFileSize)) return;
    const std::uint32_t value = std::uint32_t{bytes[0]} | (std::uint32_t{bytes[1]} << 8) |
                                (std::uint32_t{bytes[2]} << 16) | (std::uint32_t{bytes[3]} << 24);
    portIndex = static_cast<std::int32_t>(value);
  } else {
    const auto value = static_cast<std::uint32_t>(portIndex);
    for (std::size_t i = 0; i < kConfigFileSize; ++i)
      bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
    if (!stream.transfer(bytes, kConfigFileSize)) return;
  }
  transferOk = true;
}

void AppConfig::resetDefaults() {
  portIndex = 0;
}

}  // namespace quorvane
