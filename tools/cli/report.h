// The --report file (JSON Lines, appended): one object per receiver and job.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/system_error.h"

namespace quorvane::cli {

struct JobRecord {
  std::string device;             // the device path (or "COM<n>" when it maps to none)
  std::optional<long long> port;  // the COM number, for --port and the default
  std::string command;            // "connect", "read", ...
  std::string imagePath;
  std::string tag;        // tag text of the image or of the receiver's type
  std::string modelName;  // "Fta 29 1" ...
  std::string sha256;     // of the flash data, without the tag
  long long blocksDone = 0;
  long long blockCount = 0;
  std::string result;                // "ok", "failed", "cancelled"
  std::string message;               // the failure's text; empty on success
  std::string reason;                // the explanation under it: device or file, the
                                     // system's reason, the next step; may be empty
  std::optional<bool> modelChecked;  // upgrade: the receiver named its type
  std::string typeQuery;             // upgrade: "not asked", "no answer", the type named, ...
  std::string verify;                // verify: "identical", "differ" or "not done"
  std::vector<std::string> keys;     // key: the keys sent, as named
  std::chrono::system_clock::time_point start{};
  double durationSeconds = 0;
};

// One line of JSON, without the line end.
std::string recordJson(const JobRecord& record);

// Appends the line; false when the file can't be written.
bool appendRecord(const std::string& path, const JobRecord& record);

// Whether the report file can be opened for appending (created if absent):
// no failure, or why not.
SystemError reportWritable(const std::string& path);

// Lower-case hex SHA-256 of `bytes`; empty when it can't be computed.
// Implemented by the platform folder (cli_platform.h).
std::string sha256Hex(const std::uint8_t* bytes, std::size_t count);

// "2024-05-01T12:34:56.789Z"
std::string isoUtc(std::chrono::system_clock::time_point t);

}  // namespace quorvane::cli
