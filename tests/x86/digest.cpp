// SHA-256 through libmd, for the 32-bit test program, which has no 32-bit
// OpenSSL to link.
#include "platform/digest.h"

#include <sha2.h>

namespace qx {

std::string Sha256Hex(std::string_view text) {
  SHA2_CTX context;
  SHA256Init(&context);
  SHA256Update(&context, reinterpret_cast<const uint8_t*>(text.data()), text.size());
  uint8_t digest[SHA256_DIGEST_LENGTH];
  SHA256Final(digest, &context);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(2 * SHA256_DIGEST_LENGTH);
  for (const uint8_t byte : digest) {
    hex += kHex[byte >> 4];
    hex += kHex[byte & 0x0F];
  }
  return hex;
}

}  // namespace qx
