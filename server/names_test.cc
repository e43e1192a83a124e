#include "server/names.h"

#include <gtest/gtest.h>

namespace vexa::server {
namespace {

std::string Repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

TEST(NamesTest, NameLengthCountsUtf16UnitsNotBytes) {
  // 90 CJK characters: 270 UTF-8 bytes, 90 UTF-16 units.
  EXPECT_TRUE(IsValidName(Repeat("\xE4\xB8\xAD", 90)));
  EXPECT_TRUE(IsValidName(Repeat("a", 255)));
  EXPECT_FALSE(IsValidName(Repeat("a", 256)));
  // A character beyond the BMP takes two units: 127 of them fit, 128 do not.
  EXPECT_TRUE(IsValidName(Repeat("\xF0\x9F\x98\x80", 127) + "a"));
  EXPECT_FALSE(IsValidName(Repeat("\xF0\x9F\x98\x80", 128)));
}

TEST(NamesTest, NamesThatDisplayMisleadinglyOrBreakPathsAreRefused) {
  EXPECT_TRUE(IsValidName("report.pdf"));
  EXPECT_TRUE(IsValidName("a b+c%d"));
  for (const char* bad : {"", ".", "..", "a/b", "a\\b", "a\tb", "a\x7F",
                          "txt.\xE2\x80\xAE"
                          "exe",
                          "\xC2\x85x", "zero\xE2\x80\x8Bwidth", "\xEF\xBB\xBFname",
                          "tag\xF3\xA0\x80\x81", "\xC0\xAF", "\xED\xA0\x80", "\xE4\xB8"}) {
    EXPECT_FALSE(IsValidName(bad)) << bad;
  }
}

TEST(NamesTest, RemotePathsSplitIntoValidNames) {
  std::vector<std::string> names;
  ASSERT_TRUE(SplitRemotePath("a/b c/d", &names));
  EXPECT_EQ((std::vector<std::string>{"a", "b c", "d"}), names);
  ASSERT_TRUE(SplitRemotePath("", &names));
  EXPECT_TRUE(names.empty());
  EXPECT_FALSE(SplitRemotePath("a//b", &names));
  EXPECT_FALSE(SplitRemotePath("/a", &names));
  EXPECT_FALSE(SplitRemotePath("a/../b", &names));
  EXPECT_TRUE(SplitRemotePath(Repeat("x/", 63) + "x", &names));
  EXPECT_FALSE(SplitRemotePath(Repeat("x/", 64) + "x", &names));
}

TEST(NamesTest, NumbersAndIdentities) {
  uint64_t v;
  EXPECT_TRUE(ParseDecimal("9223372036854775807", &v));
  EXPECT_EQ(9223372036854775807u, v);
  for (const char* bad : {"", "-1", "+1", "1 ", "0x10", "12345678901234567890"}) {
    EXPECT_FALSE(ParseDecimal(bad, &v)) << bad;
  }
  int64_t id;
  EXPECT_FALSE(ParseId("0", &id));
  EXPECT_TRUE(ParseId("42", &id));
  EXPECT_EQ(42, id);
  EXPECT_TRUE(IsHex40(std::string(40, 'a')));
  EXPECT_FALSE(IsHex40(std::string(39, 'a')));
  EXPECT_FALSE(IsHex40(std::string(39, 'a') + "g"));
  EXPECT_TRUE(IsPickCode("abc123"));
  EXPECT_FALSE(IsPickCode("ABC"));
  EXPECT_FALSE(IsPickCode(std::string(33, 'a')));
}

TEST(NamesTest, NumberedNamesKeepTheExtension) {
  EXPECT_EQ("report (2).pdf", NumberedName("report.pdf", 2));
  EXPECT_EQ("archive.tar (3).gz", NumberedName("archive.tar.gz", 3));
  EXPECT_EQ("README (2)", NumberedName("README", 2));
  EXPECT_EQ(".profile (2)", NumberedName(".profile", 2));
}

}  // namespace
}  // namespace vexa::server
