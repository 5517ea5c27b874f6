#include "report.h"

#include <openssl/evp.h>

#include <cstdio>
#include <ctime>
#include <memory>
#include <nlohmann/json.hpp>

namespace quorvane::cli {

std::string recordJson(const JobRecord& r) {
  nlohmann::ordered_json j;
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
  if (r.command == "key") j["keys"] = r.keys;
  j["start_time"] = isoUtc(r.start);
  j["duration_s"] = r.durationSeconds;
  // Paths and messages are not always valid UTF-8: replace what isn't.
  return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

bool appendRecord(const std::string& path, const JobRecord& record) {
  const std::string line = recordJson(record) + "\n";
  std::FILE* f = std::fopen(path.c_str(), "ab");
  if (!f) return false;
  // One write per line, so that lines of concurrent runs don't interleave.
  const bool ok = std::fwrite(line.data(), 1, line.size(), f) == line.size();
  return (std::fclose(f) == 0) && ok;
}

bool reportWritable(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "ab");
  if (!f) return false;
  return std::fclose(f) == 0;
}

std::string sha256Hex(const std::uint8_t* bytes, std::size_t count) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1 ||
      EVP_DigestUpdate(ctx.get(), bytes, count) != 1 ||
      EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1)
    return {};
  static const char* kHex = "0123456789abcdef";
  std::string hex;
  for (unsigned i = 0; i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 15];
  }
  return hex;
}

std::string isoUtc(std::chrono::system_clock::time_point t) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch());
  const std::time_t secs = static_cast<std::time_t>(ms.count() / 1000);
  std::tm tm{};
  gmtime_r(&secs, &tm);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<int>(ms.count() % 1000));
  return text;
}

}  // namespace quorvane::cli
