// SHA-256 digest through OpenSSL EVP.
#include "platform/digest.h"

#include <openssl/evp.h>

#include <memory>

#include "platform/error.h"

namespace qx {
namespace {

// The SHA-256 implementation, fetched from OpenSSL's default provider once:
// the implicit lookup EVP_sha256() causes on every digest costs a sizeable
// part of hashing a receipt. An immutable cache usable from any thread; it
// is released when the program (or the library holding it) is unloaded.
const EVP_MD* Sha256Algorithm() {
  struct Release {
    void operator()(EVP_MD* aAlgorithm) const { EVP_MD_free(aAlgorithm); }
  };
  static const std::unique_ptr<EVP_MD, Release> algorithm(
      EVP_MD_fetch(nullptr, "SHA2-256", nullptr));
  return algorithm.get();
}

}  // namespace

std::string Sha256Hex(std::string_view text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  const EVP_MD* algorithm = Sha256Algorithm();
  if (algorithm == nullptr ||
      EVP_Digest(text.data(), text.size(), digest, &length, algorithm, nullptr) != 1) {
    throw Error("SHA-256 digest failed");
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(length * 2);
  for (unsigned int i = 0; i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 0x0F];
  }
  return hex;
}

}  // namespace qx
