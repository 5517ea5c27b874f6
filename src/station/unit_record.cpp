#include "station/unit_record.h"

#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

#include "serial/protocol.h"

namespace quorvane {

namespace {

void addFields(nlohmann::ordered_json& j, const JobRecord& r) {
  j["device"] = r.device;
  if (r.port) j["port"] = *r.port;
  j["command"] = r.command;
  j["image"] = r.imagePath;
  j["tag"] = r.tag;
  j["model"] = r.modelName;
  j["sha256"] = r.sha256;
  j["blocks_done"] = r.blocksDone;
  j["block_count"] = r.blockCount;
  j["result"] = r.result;
  j["message"] = r.message;
  j["reason"] = r.reason;
  if (r.modelChecked) j["model_checked"] = *r.modelChecked;
  if (r.command == "upgrade") j["type_query"] = r.typeQuery;
  if (r.command == "verify") j["verify"] = r.verify.empty() ? "not done" : r.verify;
  if (r.command == "key") j["keys"] = r.keys;
  j["start_time"] = isoUtc(r.start);
  j["duration_s"] = r.durationSeconds;
}

// Paths and messages are not always valid UTF-8: what isn't is replaced.
std::string dumped(const nlohmann::ordered_json& j) {
  return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

bool appendLine(const std::string& path, const std::string& json) {
  const std::string line = json + "\n";
  std::FILE* f = std::fopen(path.c_str(), "ab");
  if (!f) return false;
  // One write per line, so that lines of concurrent runs don't interleave.
  const bool ok = std::fwrite(line.data(), 1, line.size(), f) == line.size();
  return (std::fclose(f) == 0) && ok;
}

}  // namespace

std::string recordJson(const JobRecord& record) {
  nlohmann::ordered_json j;
  addFields(j, record);
  return dumped(j);
}

std::string recordJson(const UnitRecord& record) {
  nlohmann::ordered_json j;
  j["slot"] = record.slot;
  j["unit"] = record.unit;
  addFields(j, record.job);
  return dumped(j);
}

bool appendRecord(const std::string& path, const JobRecord& record) {
  return appendLine(path, recordJson(record));
}

bool appendRecord(const std::string& path, const UnitRecord& record) {
  return appendLine(path, recordJson(record));
}

SystemError reportWritable(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "ab");
  if (!f) return SystemError::fromLast("open");
  return std::fclose(f) == 0 ? SystemError{} : SystemError::fromLast("close");
}

std::string differingBlocksText(const std::uint8_t* a, const std::uint8_t* b, unsigned blockCount) {
  std::string ranges;
  long long first = -1;
  auto close = [&](long long last) {
    if (first < 0) return;
    if (!ranges.empty()) ranges += ", ";
    ranges += std::to_string(first) + "-" + std::to_string(last);
    first = -1;
  };
  for (unsigned k = 0; k < blockCount; ++k) {
    const bool differs = std::memcmp(a + std::size_t{k} * kBlockSize,
                                     b + std::size_t{k} * kBlockSize, kBlockSize) != 0;
    if (differs && first < 0) first = k;
    if (!differs) close(static_cast<long long>(k) - 1);
  }
  close(static_cast<long long>(blockCount) - 1);
  return ranges.empty() ? std::string() : "blocks " + ranges + " differ";
}

std::string isoUtc(std::chrono::system_clock::time_point t) {
  using namespace std::chrono;
  // The standard library's calendar: the same on every platform.
  const auto ms = floor<milliseconds>(t);
  const auto day = floor<days>(ms);
  const year_month_day date{day};
  const hh_mm_ss time{ms - day};
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", int(date.year()),
                unsigned(date.month()), unsigned(date.day()), int(time.hours().count()),
                int(time.minutes().count()), int(time.seconds().count()),
                int(time.subseconds().count()));
  return text;
}

}  // namespace quorvane
