// SHA-256 through OpenSSL's digest interface.
#include <openssl/evp.h>

#include <memory>

#include "station/unit_record.h"

namespace quorvane {

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

}  // namespace quorvane
