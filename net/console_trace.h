#ifndef VEXA_NET_CONSOLE_TRACE_H_
#define VEXA_NET_CONSOLE_TRACE_H_

#include <string_view>

namespace vexa {

class HttpClient;

// The network self-test texts, held in the GBK code page in which they are
// defined; ConsoleTrace converts them for the terminal.
namespace trace_text {
// "vexa网盘上传控件网络测试工具 v1.0\n"
inline constexpr char kBanner[] =
    "\x76\x65\x78\x61\xcd\xf8\xc5\xcc\xc9\xcf\xb4\xab\xbf\xd8\xbc\xfe\xcd\xf8\xc2\xe7\xb2\xe2\xca"
    "\xd4"
    "\xb9\xa4\xbe\xdf\x20\x76\x31\x2e\x30\x0a";
// "1、检测代理设置...\n"
inline constexpr char kStep1[] =
    "\x31\xa1\xa2\xbc\xec\xb2\xe2\xb4\xfa\xc0\xed\xc9\xe8\xd6\xc3\x2e\x2e\x2e\x0a";
// "没有找到代理设置\n"
inline constexpr char kNoProxy[] =
    "\xc3\xbb\xd3\xd0\xd5\xd2\xb5\xbd\xb4\xfa\xc0\xed\xc9\xe8\xd6\xc3\x0a";
// "代理类型: "
inline constexpr char kProxyType[] = "\xb4\xfa\xc0\xed\xc0\xe0\xd0\xcd\x3a\x20";
// "代理地址: "
inline constexpr char kProxyAddress[] = "\xb4\xfa\xc0\xed\xb5\xd8\xd6\xb7\x3a\x20";
// "\n2、连接代理服务器...\n"
inline constexpr char kStep2[] =
    "\x0a\x32\xa1\xa2\xc1\xac\xbd\xd3\xb4\xfa\xc0\xed\xb7\xfe\xce\xf1\xc6\xf7\x2e\x2e\x2e\x0a";
// "代理服务器连接成功\n"
inline constexpr char kProxyOk[] =
    "\xb4\xfa\xc0\xed\xb7\xfe\xce\xf1\xc6\xf7\xc1\xac\xbd\xd3\xb3\xc9\xb9\xa6\x0a";
// "代理服务器连接失败\n"
inline constexpr char kProxyFailed[] =
    "\xb4\xfa\xc0\xed\xb7\xfe\xce\xf1\xc6\xf7\xc1\xac\xbd\xd3\xca\xa7\xb0\xdc\x0a";
// "3、发送测试请求...\n"
inline constexpr char kStep3[] =
    "\x33\xa1\xa2\xb7\xa2\xcb\xcd\xb2\xe2\xca\xd4\xc7\xeb\xc7\xf3\x2e\x2e\x2e\x0a";
// "网络连接失败\n"
inline constexpr char kNetworkFailed[] = "\xcd\xf8\xc2\xe7\xc1\xac\xbd\xd3\xca\xa7\xb0\xdc\x0a";
// "网络连接成功 (" ... "ms)\n"
inline constexpr char kNetworkOk[] = "\xcd\xf8\xc2\xe7\xc1\xac\xbd\xd3\xb3\xc9\xb9\xa6\x20\x28";
inline constexpr char kNetworkOkEnd[] = "ms)\n";
// "4、网络测试完成\n"
inline constexpr char kStep4[] = "\x34\xa1\xa2\xcd\xf8\xc2\xe7\xb2\xe2\xca\xd4\xcd\xea\xb3\xc9\x0a";
}  // namespace trace_text

// Writes one self-test text (GBK) to the client's trace output, converted to
// UTF-8 and followed by a line end, when the client's consoleTrace is on.
void ConsoleTrace(const HttpClient& client, std::string_view gbk_text);

}  // namespace vexa

#endif  // VEXA_NET_CONSOLE_TRACE_H_
