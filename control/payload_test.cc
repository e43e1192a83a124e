#include "control/payload.h"

#include <gtest/gtest.h>

#include "port/codepage.h"

namespace vexa {
namespace {

ProgressRecord Row(int64_t total, int64_t done) {
  ProgressRecord r;
  r.fileName = "a.bin";
  r.path = "/d/a.bin";
  r.totalSize = total;
  r.doneSize = done;
  r.queueSummary = "1,200,0,00:00:00";
  return r;
}

std::vector<std::string> Fields(const ProgressRecord& r) {
  return SplitProgressFields(UnescapeUnicode(ProgressPayload(r)));
}

TEST(EscapeUnicodeTest, EveryUtf16UnitBecomesFourUpperCaseDigits) {
  EXPECT_EQ("\\u0041", EscapeUnicode("A"));
  EXPECT_EQ("\\u6587", EscapeUnicode("\xE6\x96\x87"));             // 文
  EXPECT_EQ("\\uD83D\\uDE00", EscapeUnicode("\xF0\x9F\x98\x80"));  // U+1F600, a surrogate pair
  EXPECT_EQ("\\u007C\\u0022\\u000A", EscapeUnicode("|\"\n"));
  EXPECT_EQ("", EscapeUnicode(""));
  // Malformed input still gives plain ASCII.
  EXPECT_EQ("\\uFFFD", EscapeUnicode("\xFF"));
}

TEST(EscapeUnicodeTest, UnescapeRestoresTheText) {
  for (const std::string text : {"A", "\xE6\x96\x87", "\xF0\x9F\x98\x80 x|y\n\"z\\"}) {
    EXPECT_EQ(text, UnescapeUnicode(EscapeUnicode(text)));
  }
  EXPECT_EQ("a\\u00", UnescapeUnicode("\\u0061\\u00"));  // a cut group stays as it is
}

TEST(ProgressPayloadTest, FourteenFieldsInOrder) {
  ProgressRecord r = Row(200, 100);
  r.speed = 4096;
  r.secondsLeft = 3725;
  r.status = 2;
  r.hashProgress = 12.345;
  r.pickCode = "pc1";
  r.isFolder = 1;
  const std::string plain = UnescapeUnicode(ProgressPayload(r));
  EXPECT_EQ("a.bin|/d/a.bin|200|100|4096|01:02:05|2|50.00%|12.35%|0||pc1|1|1,200,0,00:00:00",
            plain);
  EXPECT_EQ(ProgressPayload(r), EscapeUnicode(plain));
}

TEST(ProgressPayloadTest, EdgeValues) {
  EXPECT_EQ("0.00%", Fields(Row(0, 0))[7]);
  EXPECT_EQ("0.00%", Fields(Row(-5, 3))[7]);
  EXPECT_EQ("100.00%", Fields(Row(3, 3))[7]);
  ProgressRecord r = Row(10, 1);
  r.speed = -1;
  r.errorCode = -2;
  const auto f = Fields(r);
  EXPECT_EQ("18446744073709551615", f[4]);  // sign-extended
  EXPECT_EQ("18446744073709551614", f[9]);
  r.errorCode = 0;
  EXPECT_EQ("0", Fields(r)[9]);
  // An empty pick code leaves two adjacent separators.
  EXPECT_NE(std::string::npos, UnescapeUnicode(ProgressPayload(r)).find("||0|"));
}

TEST(ProgressPayloadTest, ErrorTextComesFromTheAnsiCodePage) {
  ProgressRecord r = Row(10, 1);
  r.errorCode = 2;
  r.errorText = port::Utf8ToGbk("\xE6\x96\x87\xE4\xBB\xB6");  // 文件
  EXPECT_EQ("\xE6\x96\x87\xE4\xBB\xB6", Fields(r)[10]);
}

TEST(ProgressPayloadTest, NamesThatLookLikeSeparatorsStayWhole) {
  ProgressRecord r = Row(10, 1);
  for (const std::string name : {"a|b", "|x|", "2|3|4", "q\"\n\xF0\x9F\x98\x80"}) {
    r.fileName = name;
    r.path = "/d|1/" + name;
    const std::string payload = ProgressPayload(r);
    EXPECT_EQ(std::string::npos, payload.find_first_not_of("\\u0123456789ABCDEF")) << name;
    const auto f = Fields(r);
    ASSERT_EQ(14u, f.size()) << name;
    EXPECT_EQ(name, f[0]);
    EXPECT_EQ(r.path, f[1]);
    EXPECT_EQ("10", f[2]);
  }
}

TEST(ProgressPayloadTest, SplitRefusesOtherShapes) {
  EXPECT_TRUE(SplitProgressFields("").empty());
  EXPECT_TRUE(SplitProgressFields("a|b|c").empty());
}

}  // namespace
}  // namespace vexa
