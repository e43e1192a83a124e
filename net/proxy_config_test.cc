#include "net/proxy_config.h"

#include "gtest/gtest.h"

namespace vexa {
namespace {

TEST(ParseProxyStringTest, FirstEntryDecidesTypeHostAndPort) {
  struct Case {
    const char* text;
    int32_t type;
    const char* host;
    int32_t port;
  } cases[] = {
      {"P:8080", ProxyUnknown, "P", 8080},
      {"http=A:80;https=B:443", ProxyHttp, "A", 80},
      {"HTTP=A:80", ProxyHttp, "A", 80},
      {"socks=S:1080", ProxySocks4, "S", 1080},
      {"SOCKS=S:1080;http=A:80", ProxySocks4, "S", 1080},
      {"socks5=S5:1082", ProxySocks5, "S5", 1082},
      {"https=B:443", ProxyUnknown, "B", 443},
      {"ftp=F:21", ProxyUnknown, "F", 21},
      {"http=http://A:3128", ProxyHttp, "A", 3128},
      {"host-without-port", ProxyUnknown, "host-without-port", 0},
      {"h:99999", ProxyUnknown, "h", 0},
      {"h:12ab", ProxyUnknown, "h", 12},
      {"", ProxyUnknown, "", 0},
  };
  for (const Case& c : cases) {
    CProxySocket s;
    s.proxyUser = "u";
    s.proxyPassword = "p";
    EXPECT_TRUE(ParseProxyString(c.text, s));
    EXPECT_EQ(s.proxyType, c.type) << c.text;
    EXPECT_EQ(s.proxyHost, c.host) << c.text;
    EXPECT_EQ(s.proxyPort, c.port) << c.text;
    EXPECT_TRUE(s.proxyUser.empty());
    EXPECT_TRUE(s.proxyPassword.empty());
  }
}

TEST(ParseProxyStringTest, TypeNames) {
  EXPECT_STREQ(ProxyTypeName(ProxyHttp), "HTTP");
  EXPECT_STREQ(ProxyTypeName(ProxyHttps), "HTTPS");
  EXPECT_STREQ(ProxyTypeName(ProxySocks4), "SOCKS4");
  EXPECT_STREQ(ProxyTypeName(ProxySocks5), "SOCKS5");
  EXPECT_STREQ(ProxyTypeName(ProxyUnknown), "UNKNOWN");
  EXPECT_STREQ(ProxyTypeName(0), "NONE");
  EXPECT_STREQ(ProxyTypeName(6), "NONE");
}

}  // namespace
}  // namespace vexa
