#include "account/api_base.h"

#include <gtest/gtest.h>

#include "account/test_data_dir.h"

namespace vexa {
namespace {

TEST(ApiBaseTest, RemembersOneLineAndRefusesWhatCannotBeOneLine) {
  TestDataDir dir;
  std::string base = "unchanged";
  EXPECT_FALSE(ReadRememberedApiBase(&base));
  EXPECT_EQ(base, "unchanged");

  ASSERT_TRUE(WriteRememberedApiBase("http://127.0.0.1:8080"));
  EXPECT_EQ(ReadWholeFile(dir.File("api_base")), "http://127.0.0.1:8080\n");
  ASSERT_TRUE(ReadRememberedApiBase(&base));
  EXPECT_EQ(base, "http://127.0.0.1:8080");

  EXPECT_FALSE(WriteRememberedApiBase(""));
  EXPECT_FALSE(WriteRememberedApiBase("http://a\r\nhttp://b"));
  ASSERT_TRUE(ReadRememberedApiBase(&base));
  EXPECT_EQ(base, "http://127.0.0.1:8080");

  // A file edited by hand: only its first line counts; an empty one is nothing.
  WriteWholeFile(dir.File("api_base"), "http://h:1\r\nignored\n");
  ASSERT_TRUE(ReadRememberedApiBase(&base));
  EXPECT_EQ(base, "http://h:1");
  WriteWholeFile(dir.File("api_base"), "\n");
  EXPECT_FALSE(ReadRememberedApiBase(&base));
}

}  // namespace
}  // namespace vexa
