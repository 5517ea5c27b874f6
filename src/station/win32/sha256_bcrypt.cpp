// SHA-256 through the Windows cryptography API (CNG).
#include <windows.h>

#include <bcrypt.h>

#include <algorithm>

#include "station/unit_record.h"

namespace quorvane {

namespace {
constexpr std::size_t kDigestSize = 32;
constexpr std::size_t kLargestPiece = 1u << 30;  // BCryptHashData counts in ULONG

bool succeeded(NTSTATUS status) {
  return status >= 0;
}
}  // namespace

std::string sha256Hex(const std::uint8_t* bytes, std::size_t count) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  unsigned char digest[kDigestSize];
  bool ok =
      succeeded(::BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) &&
      succeeded(::BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0));
  while (ok && count > 0) {
    const std::size_t piece = std::min(count, kLargestPiece);
    ok = succeeded(::BCryptHashData(hash, const_cast<PUCHAR>(bytes), static_cast<ULONG>(piece), 0));
    bytes += piece;
    count -= piece;
  }
  ok = ok && succeeded(::BCryptFinishHash(hash, digest, kDigestSize, 0));
  if (hash) ::BCryptDestroyHash(hash);
  if (algorithm) ::BCryptCloseAlgorithmProvider(algorithm, 0);
  if (!ok) return {};
  static const char* kHex = "0123456789abcdef";
  std::string hex;
  for (const unsigned char b : digest) {
    hex += kHex[b >> 4];
    hex += kHex[b & 15];
  }
  return hex;
}

}  // namespace quorvane
