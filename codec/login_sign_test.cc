#include "codec/login_sign.h"

#include <string>

#include "codec/md5.h"
#include "gtest/gtest.h"

namespace vexa {
namespace {

TEST(PasswordDigestTest, HashesAndLowercases) {
  std::string digest;
  ASSERT_TRUE(PasswordDigest("abc", &digest));
  EXPECT_EQ(digest, "a9993e364706816aba3e25717850c26c9cd0d89d");

  // The digest is taken before lowercasing, so letter case matters.
  std::string upper;
  ASSERT_TRUE(PasswordDigest("ABC", &upper));
  EXPECT_NE(upper, digest);
  EXPECT_EQ(upper, "3c01bdbb26f358bab27f267924aa2c9a03fcfdb8");
}

TEST(PasswordDigestTest, FortyBytesAreADigestAlready) {
  std::string digest;
  ASSERT_TRUE(PasswordDigest("A9993E364706816ABA3E25717850C26C9CD0D89D", &digest));
  EXPECT_EQ(digest, "a9993e364706816aba3e25717850c26c9cd0d89d");
  // Not hexadecimal: still taken as is, only lowercased.
  const std::string forty = "Forty-Characters-Of-Anything-Really!!!!!";
  ASSERT_EQ(forty.size(), 40u);
  ASSERT_TRUE(PasswordDigest(forty, &digest));
  EXPECT_EQ(digest, "forty-characters-of-anything-really!!!!!");
  // 39 and 41 bytes are hashed.
  ASSERT_TRUE(PasswordDigest(forty.substr(1), &digest));
  EXPECT_EQ(digest.size(), 40u);
  EXPECT_EQ(digest.find_first_not_of("0123456789abcdef"), std::string::npos);
}

TEST(PasswordDigestTest, EmptyPasswordFails) {
  std::string digest = "untouched";
  EXPECT_FALSE(PasswordDigest("", &digest));
  EXPECT_EQ(digest, "untouched");
}

TEST(LoginSignTest, SignsTheConcatenationWithSalt) {
  const std::string digest = "a9993e364706816aba3e25717850c26c9cd0d89d";
  const std::string sign = LoginSign("User@Example.com", digest, "1700000000");
  EXPECT_EQ(sign, Md5Hex("User@Example.com" + digest + "1700000000Lq4Tz&81MwKpNre"));
  EXPECT_EQ(sign.size(), 32u);
  // The account is used exactly as typed, and the time changes the signature.
  EXPECT_NE(sign, LoginSign("user@example.com", digest, "1700000000"));
  EXPECT_NE(sign, LoginSign("User@Example.com", digest, "1700000001"));
}

}  // namespace
}  // namespace vexa
