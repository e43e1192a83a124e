#include "apps/cli/nettest_gloss.h"

#include <gtest/gtest.h>

#include "codec/text.h"
#include "net/console_trace.h"

namespace vexa::cli {
namespace {

// Lines as the self-test's trace writes them: its text, then a line end.
std::string Traced(const std::string& gbk) { return AnsiToUtf8(gbk) + "\n"; }

TEST(NettestGlossTest, EveryStepGetsItsEnglishAndKeepsItsText) {
  const struct {
    std::string line;
    const char* expected;
  } cases[] = {
      {Traced(trace_text::kBanner),
       "vexa网盘上传控件网络测试工具 v1.0  (network test of the upload client)\n\n"},
      {Traced(trace_text::kStep1), "1、检测代理设置...  (1. detecting the proxy settings)\n\n"},
      {Traced(trace_text::kNoProxy), "没有找到代理设置  (no proxy is set)\n\n"},
      {Traced(std::string(trace_text::kProxyType) + "SOCKS5\n"),
       "代理类型: SOCKS5  (proxy type)\n\n"},
      {Traced(std::string(trace_text::kProxyAddress) + "10.0.0.1:1080\n"),
       "代理地址: 10.0.0.1:1080  (proxy address)\n\n"},
      {Traced(trace_text::kStep2), "\n2、连接代理服务器...  (2. connecting to the proxy)\n\n"},
      {Traced(trace_text::kProxyOk), "代理服务器连接成功  (connected to the proxy)\n\n"},
      {Traced(trace_text::kProxyFailed),
       "代理服务器连接失败  (could not connect to the proxy)\n\n"},
      {Traced(trace_text::kStep3), "3、发送测试请求...  (3. sending the test request)\n\n"},
      {Traced(trace_text::kNetworkFailed), "网络连接失败  (the request failed)\n\n"},
      {Traced(std::string(trace_text::kNetworkOk) + "12" + trace_text::kNetworkOkEnd),
       "网络连接成功 (12ms)  (the server answered)\n\n"},
      {Traced(trace_text::kStep4), "4、网络测试完成  (4. network test finished)\n\n"},
      {"something else\n", "something else\n"},
      {"\n", "\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.expected, GlossNettestLine(c.line)) << c.line;
}

}  // namespace
}  // namespace vexa::cli
