// SHA-256 digest through OpenSSL EVP over the UTF-8 bytes of a text.
#pragma once

#include <string>
#include <string_view>

namespace qx {

// 64 lowercase hexadecimal digits.
std::string Sha256Hex(std::string_view text);

}  // namespace qx
