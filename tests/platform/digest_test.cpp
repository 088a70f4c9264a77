// SHA-256: the FIPS 180-4 vectors in lowercase hexadecimal, over UTF-8 bytes.
#include "platform/digest.h"

#include <gtest/gtest.h>

namespace qx {
namespace {

TEST(Sha256Test, Fips180Vectors) {
  EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(Sha256Hex(std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256Test, HashesTheUtf8Bytes) {
  EXPECT_EQ(Sha256Hex("Prezzo 1,50 \xE2\x82\xAC \xE2\x80\x93 caff\xC3\xA8"),
            "8c3d5e5f3721b693b39e86a1d17ce25a9162e440eaaf06e269bde2d181f4067e");
}

}  // namespace
}  // namespace qx
