#include "codec/md5.h"

#include <openssl/evp.h>

#include <random>
#include <string>

#include "gtest/gtest.h"

namespace vexa {
namespace {

std::string OracleMd5(const std::string& text) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_Digest(text.data(), text.size(), md, &len, EVP_md5(), nullptr);
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned i = 0; i < len; ++i) {
    hex.push_back(kDigits[md[i] >> 4]);
    hex.push_back(kDigits[md[i] & 0xF]);
  }
  return hex;
}

TEST(Md5Test, PublishedVectors) {
  EXPECT_EQ(Md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(Md5Hex("a"), "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_EQ(Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Md5Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(Md5Hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
  EXPECT_EQ(Md5Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
            "d174ab98d277d9f5a5611c2c9f419d9f");
  EXPECT_EQ(Md5Hex("1234567890123456789012345678901234567890"
                   "1234567890123456789012345678901234567890"),
            "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5Test, RandomInputsMatchOracle) {
  std::mt19937_64 rng(1321);
  for (int round = 0; round < 3000; ++round) {
    const size_t length = round % 5 == 0 ? rng() % 4000 : rng() % 150;
    std::string text(length, '\0');
    for (auto& c : text) c = static_cast<char>(rng());
    ASSERT_EQ(Md5Hex(text), OracleMd5(text)) << "length " << length;
  }
}

}  // namespace
}  // namespace vexa
