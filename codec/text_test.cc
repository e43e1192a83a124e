#include "codec/text.h"

#include <string>

#include "gtest/gtest.h"
#include "port/file.h"

namespace vexa {
namespace {

TEST(UrlEncodeTest, EscapesEveryByte) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  // Every ASCII character, letters and digits included, becomes one escape.
  for (char16_t c = 1; c < 0x80; ++c) {
    const std::string expected = {'%', kHex[c >> 4], kHex[c & 0xF]};
    ASSERT_EQ(UrlEncode(std::u16string(1, c)), expected) << static_cast<int>(c);
  }
  EXPECT_EQ(UrlEncode(u"a b"), "%61%20%62");
  EXPECT_EQ(UrlEncode(u"A"), "%41");
  // Two-, three- and four-byte UTF-8 forms give one escape per byte.
  EXPECT_EQ(UrlEncode(u"\u00E9"), "%C3%A9");
  EXPECT_EQ(UrlEncode(u"\u4E2D"), "%E4%B8%AD");
  EXPECT_EQ(UrlEncode(u"\U0001F600"), "%F0%9F%98%80");
  EXPECT_EQ(UrlEncode(u""), "");
}

TEST(HexDigitTest, BothCasesAndNothingBeside) {
  EXPECT_EQ(HexDigitValue('0'), 0);
  EXPECT_EQ(HexDigitValue('9'), 9);
  EXPECT_EQ(HexDigitValue('a'), 10);
  EXPECT_EQ(HexDigitValue('f'), 15);
  EXPECT_EQ(HexDigitValue('A'), 10);
  EXPECT_EQ(HexDigitValue('F'), 15);
  // The neighbours of each range, and bytes beyond ASCII.
  for (char c : {'/', ':', '@', 'G', '`', 'g', ' ', '\0', '\xC0', '\xFF'}) {
    EXPECT_EQ(HexDigitValue(c), -1) << static_cast<int>(c);
  }
}

TEST(NumberTest, FormatAndParse) {
  EXPECT_EQ(FormatU64(0), "0");
  EXPECT_EQ(FormatU64(UINT64_MAX), "18446744073709551615");
  EXPECT_EQ(ParseU64("18446744073709551615"), UINT64_MAX);
  EXPECT_EQ(ParseU64("99999999999999999999"), UINT64_MAX);
  EXPECT_EQ(ParseU64("  42x"), 42u);
  EXPECT_EQ(ParseU64(""), 0u);
  EXPECT_EQ(ParseU64("abc"), 0u);
  EXPECT_EQ(ParseU64("-"), 0u);
}

TEST(NumberTest, ParseRange) {
  uint64_t low = 7, high = 7;
  EXPECT_FALSE(ParseRange("1024", &low, &high));
  EXPECT_EQ(low, 7u);
  EXPECT_EQ(high, 7u);
  EXPECT_TRUE(ParseRange("1024-", &low, &high));
  EXPECT_EQ(low, 1024u);
  EXPECT_EQ(high, 0u);
  EXPECT_TRUE(ParseRange("-5", &low, &high));
  EXPECT_EQ(low, 0u);
  EXPECT_EQ(high, 5u);
  EXPECT_TRUE(ParseRange("x-y", &low, &high));
  EXPECT_EQ(low, 0u);
  EXPECT_EQ(high, 0u);
  // Split at the first dash only.
  EXPECT_TRUE(ParseRange("1-2-3", &low, &high));
  EXPECT_EQ(low, 1u);
  EXPECT_EQ(high, 2u);
  EXPECT_TRUE(ParseRange("0-4294967296", &low, &high));
  EXPECT_EQ(high, 4294967296u);
}

TEST(NumberTest, FormatDuration) {
  EXPECT_EQ(FormatDuration(0), "00:00:00");
  EXPECT_EQ(FormatDuration(59), "00:00:59");
  EXPECT_EQ(FormatDuration(60), "00:01:00");
  EXPECT_EQ(FormatDuration(3725), "01:02:05");
  EXPECT_EQ(FormatDuration(35999), "09:59:59");
  EXPECT_EQ(FormatDuration(360000), "100:00:00");
}

TEST(StringTest, ToLowerTouchesOnlyAscii) {
  EXPECT_EQ(ToLower("AbC-Z@[`"), "abc-z@[`");
  EXPECT_EQ(ToLower("\xC3\x89T\xC3\xA9"), "\xC3\x89t\xC3\xA9");
}

TEST(StringTest, Trim) {
  EXPECT_EQ(Trim("  [user]\r"), "[user]");
  EXPECT_EQ(Trim("\t a b \n"), "a b");
  EXPECT_EQ(Trim("\r\n"), "\r\n");  // only white space: unchanged
  EXPECT_EQ(Trim(""), "");
  EXPECT_EQ(Trim("x"), "x");
}

TEST(PathTest, FileNameAndExtension) {
  const std::string sep(1, port::kPathSeparator);
  EXPECT_EQ(FileNameOf("file.txt"), "file.txt");
  EXPECT_EQ(FileNameOf("a" + sep + "b" + sep + "c.txt"), "c.txt");
  EXPECT_EQ(FileNameOf("a" + sep), "");
  // The extension is taken from the whole path, dotted folders included.
  EXPECT_EQ(ExtensionOf(sep + "dir.old" + sep + "file"), "old" + sep + "file");
  EXPECT_EQ(ExtensionOf("archive.tar.gz"), "gz");
  EXPECT_EQ(ExtensionOf("README"), "");
  EXPECT_EQ(ExtensionOf("Photo.JPG"), "JPG");
  EXPECT_EQ(ExtensionOf("name."), "");
}

TEST(ConvertTest, Utf8AndUtf16) {
  // A surrogate pair both ways.
  const std::string smile = "\xF0\x9F\x98\x80";
  const std::u16string wide = Utf8ToWide(smile);
  ASSERT_EQ(wide.size(), 2u);
  EXPECT_EQ(wide[0], 0xD83D);
  EXPECT_EQ(wide[1], 0xDE00);
  EXPECT_EQ(WideToUtf8(wide), smile);
  EXPECT_EQ(WideToUtf8(Utf8ToWide("D\xC3\xA9j\xC3\xA0 \xE4\xB8\xAD")),
            "D\xC3\xA9j\xC3\xA0 \xE4\xB8\xAD");

  // Malformed bytes are replaced, never dropped silently or passed through.
  EXPECT_EQ(Utf8ToWide("a\xFF"
                       "b"),
            u"a\uFFFDb");
  EXPECT_EQ(Utf8ToWide("\xC0\xAF"), u"\uFFFD\uFFFD");            // overlong '/'
  EXPECT_EQ(Utf8ToWide("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");  // encoded surrogate
  EXPECT_EQ(Utf8ToWide("x\xE4\xB8"), u"x\uFFFD");                // truncated at the end
  // A lone surrogate unit has no UTF-8 form.
  EXPECT_EQ(WideToUtf8(std::u16string(1, char16_t{0xD800}) + u"z"), "\xEF\xBF\xBDz");
  EXPECT_EQ(WideToUtf8(std::u16string(1, char16_t{0xDC00})), "\xEF\xBF\xBD");
  EXPECT_EQ(Utf8ToWide(""), u"");
}

TEST(ConvertTest, GbkRoundTrip) {
  const std::string utf8 = "\xE4\xB8\xAD\xE6\x96\x87 ok";  // two Han characters
  const std::string gbk = Utf8ToAnsi(utf8);
  EXPECT_EQ(gbk, "\xD6\xD0\xCE\xC4 ok");
  EXPECT_EQ(AnsiToUtf8(gbk), utf8);
  // A lead byte without its trail byte is replaced, and the rest survives.
  EXPECT_EQ(AnsiToUtf8("a\x81"), "a\xEF\xBF\xBD");
  // A character GBK lacks becomes a question mark.
  EXPECT_EQ(Utf8ToAnsi("\xF0\x9F\x98\x80!"), "?!");
}

}  // namespace
}  // namespace vexa
