// What a job did with one receiver, as the --report file and the station's
// log keep it: one JSON object per line (JSON Lines), appended.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/system_error.h"

namespace quorvane {

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

// One unit a station slot has served: the record of its job (command
// "upgrade" or "read"), the slot (1, 2, ... in the order the slots were
// added) and the unit's number (unique in the station's run and, for files
// named by it, in their folder).
struct UnitRecord {
  JobRecord job;
  int slot = 0;
  long long unit = 0;
};

// One line of JSON, without the line end.
std::string recordJson(const JobRecord& record);
// The job's line with "slot" and "unit" in front.
std::string recordJson(const UnitRecord& record);

// Appends the line; false when the file can't be written.
bool appendRecord(const std::string& path, const JobRecord& record);
bool appendRecord(const std::string& path, const UnitRecord& record);

// Whether the report file can be opened for appending (created if absent):
// no failure, or why not.
SystemError reportWritable(const std::string& path);

// Lower-case hex SHA-256 of `bytes`; empty when it can't be computed. The
// platform's cryptography (posix/, win32/).
std::string sha256Hex(const std::uint8_t* bytes, std::size_t count);

// The differing blocks of two flash images as ranges ("blocks 17-17
// differ", "blocks 3-5, 17-17 differ"); empty when equal.
std::string differingBlocksText(const std::uint8_t* a, const std::uint8_t* b, unsigned blockCount);

// "2024-05-01T12:34:56.789Z"
std::string isoUtc(std::chrono::system_clock::time_point t);

}  // namespace quorvane
