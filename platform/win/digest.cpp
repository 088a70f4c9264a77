// SHA-256 digest through the system's CNG provider (BCrypt).
#include "platform/digest.h"

// clang-format off
#include <windows.h>  // first: the other system headers need its types
#include <bcrypt.h>
// clang-format on

#include "platform/error.h"

namespace qx {
namespace {

// The algorithm provider, opened once and kept for the life of the process;
// CNG allows it to be used from several threads at once.
BCRYPT_ALG_HANDLE Sha256Provider() {
  static const BCRYPT_ALG_HANDLE provider = [] {
    BCRYPT_ALG_HANDLE handle = nullptr;
    if (BCryptOpenAlgorithmProvider(&handle, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0)
      return BCRYPT_ALG_HANDLE{};
    return handle;
  }();
  return provider;
}

}  // namespace

std::string Sha256Hex(std::string_view text) {
  const BCRYPT_ALG_HANDLE provider = Sha256Provider();
  unsigned char digest[32];
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool ok =
      provider != nullptr && BCryptCreateHash(provider, &hash, nullptr, 0, nullptr, 0, 0) == 0;
  // The data goes in pieces that fit the 32-bit length of BCryptHashData.
  std::string_view rest = text;
  while (ok && !rest.empty()) {
    const ULONG piece = static_cast<ULONG>(std::min<size_t>(rest.size(), 1u << 30));
    ok = BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(rest.data())), piece, 0) ==
         0;
    rest.remove_prefix(piece);
  }
  ok = ok && BCryptFinishHash(hash, digest, sizeof digest, 0) == 0;
  if (hash != nullptr) BCryptDestroyHash(hash);
  if (!ok) throw Error("SHA-256 digest failed");
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(64);
  for (unsigned char byte : digest) {
    hex += kHex[byte >> 4];
    hex += kHex[byte & 0x0F];
  }
  return hex;
}

}  // namespace qx
