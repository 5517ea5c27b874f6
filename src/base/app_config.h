// The process-wide settings record and its file "Quorvane.cfg" in the
// directory that is current at start-up: 4 bytes, portIndex little-endian.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/notice.h"

namespace quorvane {

inline constexpr const char* kConfigFileName = "Quorvane.cfg";
inline constexpr std::size_t kConfigFileSize = 4;
inline constexpr std::size_t kCurrentDirBufferSize = 1000;

// A byte stream handed to serialize: it either loads or stores.
class ConfigStream {
 public:
  virtual ~ConfigStream() = default;
  virtual bool isLoading() const = 0;
  // Loading: fills exactly `count` bytes or returns false.
  // Storing: writes `count` bytes or returns false.
  virtual bool transfer(std::uint8_t* bytes, std::size_t count) = 0;
};

class AppConfig {
 public:
  AppConfig();  // registers itself as the process-wide instance
  virtual ~AppConfig();
  AppConfig(const AppConfig&) = delete;
  AppConfig& operator=(const AppConfig&) = delete;

  // The process-wide instance (the most recently constructed one alive).
  static AppConfig& instance();

  // Builds startDirectory and configPath from the current directory.
  void locateConfig();
  // Same, from a given directory text (as the current directory would be).
  void locateConfigIn(const std::string& currentDirectory);
  // Reads portIndex from configPath; falls back to 0 without a message.
  void loadConfig();
  // Writes portIndex to configPath; nothing on success, otherwise the
  // notice the user must be shown.
  std::optional<Notice> saveConfig();
  // Moves the 4 bytes of portIndex in the stream's direction.
  virtual void serialize(ConfigStream& stream);
  void resetDefaults();

  std::string configPath;
  std::string startDirectory;
  std::int32_t portIndex = 0;
  bool transferOk = false;
};

}  // namespace quorvane
