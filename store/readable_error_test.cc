#include "store/readable_error.h"

#include "codec/json_quote.h"
#include "gtest/gtest.h"
#include "port/codepage.h"
#include "store/error_table.h"

namespace vexa {
namespace {

// A code added to one table and not the other fails here.
TEST(ReadableErrorTest, EveryCodeOfTheErrorTableHasOneEnglishSentence) {
  EXPECT_EQ(ErrorMessageCodes(), EnglishErrorCodes());
  for (int32_t code : ErrorMessageCodes()) {
    const std::string english = EnglishErrorText(code);
    EXPECT_NE("unknown error", english) << code;
    for (unsigned char c : english) EXPECT_LT(c, 0x80) << code;  // readable without a CJK font
  }
  EXPECT_EQ("unknown error", EnglishErrorText(999));
}

TEST(ReadableErrorTest, TheFirstSetLocaleVariableDecides) {
  const struct {
    const char *lc_all, *lc_messages, *lang;
    bool chinese;
  } cases[] = {
      {nullptr, nullptr, nullptr, false},
      {nullptr, nullptr, "C.UTF-8", false},
      {nullptr, nullptr, "zh_CN.UTF-8", true},
      {nullptr, nullptr, "zh", true},
      {nullptr, "zh_TW.Big5", "en_US.UTF-8", true},
      {"en_GB.UTF-8", "zh_CN.UTF-8", "zh_CN.UTF-8", false},
      {"", "", "zh_CN.GB18030", true},  // empty counts as unset
      {"C", nullptr, "zh_CN.UTF-8", false},
      {nullptr, nullptr, "zu_ZA.UTF-8", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.chinese, IsChineseLocale(c.lc_all, c.lc_messages, c.lang))
        << (c.lc_all ? c.lc_all : "-") << " " << (c.lc_messages ? c.lc_messages : "-") << " "
        << (c.lang ? c.lang : "-");
  }
}

TEST(ReadableErrorTest, EnglishThenTheSystemTextUnlessChinese) {
  const std::string moved = "文件已经移动或删除";
  ASSERT_EQ(moved, port::GbkToUtf8(ErrorMessageText(2)));
  EXPECT_EQ("the file was moved or deleted (文件已经移动或删除)", ReadableError(2, moved, false));
  EXPECT_EQ(moved, ReadableError(2, moved, true));
  // A folder member's failure has only its text.
  EXPECT_EQ("the file was moved or deleted (文件已经移动或删除)", ReadableError(0, moved, false));
  // The service's own message has no sentence of ours but stays beside the code's.
  EXPECT_EQ("the service refused a parameter of the request (缺少 target)",
            ReadableError(402, "缺少 target", false));
  EXPECT_EQ("缺少 target", ReadableError(0, "缺少 target", false));
  EXPECT_EQ("empty files cannot be uploaded", ReadableError(1000, "", false));
  EXPECT_EQ("空文件不能上传", ReadableError(1000, "", true));
  EXPECT_EQ("unknown error", ReadableError(0, "", false));
  EXPECT_EQ("access denied (未知错误)", ReadableError(5, "未知错误", false));
  // A code the table lacks still reads in English, also where only its text came.
  EXPECT_EQ("unknown error (未知错误)", ReadableError(7777, "未知错误", false));
  EXPECT_EQ("unknown error (未知错误)", ReadableError(0, "未知错误", false));
  EXPECT_EQ("未知错误", ReadableError(0, "未知错误", true));
}

TEST(ReadableErrorTest, TextsMapBackToTheirCode) {
  for (int32_t code : ErrorMessageCodes()) {
    const int32_t found = ErrorCodeOfText(port::GbkToUtf8(ErrorMessageText(code)));
    // 1013 shares its text with 410 and 1015's is the login's network text.
    EXPECT_EQ(EnglishErrorText(code), EnglishErrorText(found)) << code;
  }
  EXPECT_EQ(410, ErrorCodeOfText("网盘空间不足"));
  EXPECT_EQ(0, ErrorCodeOfText("something else"));
  EXPECT_EQ(0, ErrorCodeOfText(""));
}

TEST(ReadableErrorTest, ThePageScriptCarriesBothTablesAsAscii) {
  const std::string script = ErrorTextsScript();
  for (char c : script)
    ASSERT_LT(static_cast<unsigned char>(c), 0x80u) << "a page reads it in any encoding";
  EXPECT_EQ(0u, script.find("// Generated")) << script;
  for (int32_t code : ErrorMessageCodes()) {
    const std::string key = JsonQuote(std::to_string(code)) + ": ";
    EXPECT_NE(std::string::npos, script.find(key + JsonQuote(EnglishErrorText(code)))) << code;
    EXPECT_NE(std::string::npos,
              script.find(key + JsonQuote(port::GbkToUtf8(ErrorMessageText(code)))))
        << code;
  }
  EXPECT_NE(std::string::npos, script.find("\"5\": \"access denied\"")) << "file-access codes too";
  EXPECT_NE(std::string::npos, script.find("\"unknown\": " + JsonQuote("未知错误"))) << script;
}

}  // namespace
}  // namespace vexa
