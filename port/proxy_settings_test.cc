#include "port/proxy_settings.h"

#include <string>

#include "gtest/gtest.h"

namespace vexa::port {
namespace {

std::string ProxyFor(const ProxyEnvironment& env, const std::string& host = "up.example.com") {
  std::string out;
  return ManualProxyString(env, host, &out) ? out : "(none)";
}

TEST(ProxySettingsTest, BuildsTheProxyStringFromTheEnvironment) {
  ProxyEnvironment env;
  EXPECT_EQ(ProxyFor(env), "(none)");
  env.http_proxy = "http://proxy.local:3128/";
  EXPECT_EQ(ProxyFor(env), "http=proxy.local:3128");
  env.http_proxy = "user:secret@10.0.0.1:8080";
  EXPECT_EQ(ProxyFor(env), "http=10.0.0.1:8080");
  env.http_proxy = "http://proxy.local";
  EXPECT_EQ(ProxyFor(env), "http=proxy.local:1080");

  env.http_proxy.clear();
  env.all_proxy = "socks4a://s.local:1081";
  EXPECT_EQ(ProxyFor(env), "socks=s.local:1081");
  env.all_proxy = "SOCKS4://s.local:1081";
  EXPECT_EQ(ProxyFor(env), "socks=s.local:1081");
  env.all_proxy = "socks5h://s.local:1082";
  EXPECT_EQ(ProxyFor(env), "socks5=s.local:1082");
  env.all_proxy = "socks5://s.local";
  EXPECT_EQ(ProxyFor(env), "socks5=s.local:1080");
  // The HTTP proxy wins: every request is plain HTTP.
  env.http_proxy = "h.local:8000";
  EXPECT_EQ(ProxyFor(env), "http=h.local:8000");
}

TEST(ProxySettingsTest, RefusesWhatItCannotSpeakOrRead) {
  ProxyEnvironment env;
  for (const char* bad : {"https://p:443", "ftp://p:21", "http://p:0", "http://p:65536", "http://p:12x", "http://:80",
                          "http://a;b:80", "http://a b:80", "http://[::1]:80",
                          "  "}) {
    env.http_proxy = bad;
    EXPECT_EQ(ProxyFor(env), "(none)") << bad;
  }
}

TEST(ProxySettingsTest, NoProxyExemptsMatchingHosts) {
  ProxyEnvironment env;
  env.http_proxy = "p:3128";
  env.no_proxy = "localhost, .internal.net,example.org:8080";
  EXPECT_EQ(ProxyFor(env, "localhost"), "(none)");
  EXPECT_EQ(ProxyFor(env, "LOCALHOST"), "(none)");
  EXPECT_EQ(ProxyFor(env, "a.internal.net"), "(none)");
  EXPECT_EQ(ProxyFor(env, "internal.net"), "(none)");
  EXPECT_EQ(ProxyFor(env, "www.example.org"), "(none)");
  EXPECT_EQ(ProxyFor(env, "notinternal.net"), "http=p:3128");
  EXPECT_EQ(ProxyFor(env, "example.com"), "http=p:3128");
  env.no_proxy = "*";
  EXPECT_EQ(ProxyFor(env, "anything"), "(none)");
}

TEST(ProxySettingsTest, TestEnvironmentReplacesTheProcessOne) {
  ProxyEnvironment env;
  env.all_proxy = "socks5://127.0.0.1:9";
  SetProxyEnvironmentForTesting(&env);
  std::string out;
  EXPECT_TRUE(CurrentUserProxyString("h", &out));
  EXPECT_EQ(out, "socks5=127.0.0.1:9");
  SetProxyEnvironmentForTesting(nullptr);
}

}  // namespace
}  // namespace vexa::port
