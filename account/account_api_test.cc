#include "account/account_api.h"

#include <string>

#include "gtest/gtest.h"

namespace vexa {
namespace {

TEST(AccountApiTest, FormValuesEscapeOnlyWhatWouldChangeTheForm) {
  EXPECT_EQ("alice@example.com-_.~!*'()/:;,?#[]$",
            EncodeFormValue("alice@example.com-_.~!*'()/:;,?#[]$"));
  EXPECT_EQ("%25%26%3D%2B%20", EncodeFormValue("%&=+ "));
  EXPECT_EQ("%00%01%0D%0A%1F%7F", EncodeFormValue(std::string("\0\x01\r\n\x1f\x7f", 6)));
  EXPECT_EQ("%E4%BD%A0%FF", EncodeFormValue("\xe4\xbd\xa0\xff"));
  EXPECT_EQ("", EncodeFormValue(""));

  SetAccountApiBase("http://h:1//");
  EXPECT_EQ("http://h:1", AccountApiBase());
  SetAccountApiBase("");
  EXPECT_EQ("", AccountApiBase());
}

}  // namespace
}  // namespace vexa
