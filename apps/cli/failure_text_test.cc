#include "apps/cli/failure_text.h"

#include <gtest/gtest.h>

namespace vexa::cli {
namespace {

TEST(FailureTextTest, EnglishFirstAndTheNetworkCauseWhereNothingAnswered) {
  const std::string refused = "127.0.0.1:9: connection refused";
  const struct {
    int64_t code;
    const char* system_text;
    bool chinese;
    std::string network;
    const char* expected;
  } cases[] = {
      {2, "文件已经移动或删除", false, "", "the file was moved or deleted (文件已经移动或删除)"},
      {2, "文件已经移动或删除", true, "", "文件已经移动或删除"},
      // The login's failure carries only its text; it is the no-answer one.
      {0, "请检查你的网络连接", false, refused,
       "check your network connection (请检查你的网络连接); 127.0.0.1:9: connection refused"},
      {0, "请检查你的网络连接", true, refused,
       "请检查你的网络连接; 127.0.0.1:9: connection refused"},
      {1010, "请求文件上传失败b", false, refused,
       "sending a range failed (请求文件上传失败b); 127.0.0.1:9: connection refused"},
      // An answer arrived: the network is not to blame.
      {1011, "请求文件上传失败c", false, refused,
       "the answer to a range was not readable (请求文件上传失败c)"},
      {402, "参数错误", false, refused,
       "the service refused a parameter of the request (参数错误)"},
      // A folder member's failure of a code the table lacks has only the table's text.
      {0, "未知错误", false, "", "unknown error (未知错误)"},
      {0, "未知错误", true, "", "未知错误"},
      // A refusal in the service's own words stays as it is.
      {0, "密码错误", false, refused, "密码错误"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.expected, FailureText(c.code, c.system_text, c.chinese, c.network))
        << c.code << " " << c.system_text;
  }
}

}  // namespace
}  // namespace vexa::cli
