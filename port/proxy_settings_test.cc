#include "port/proxy_settings.h"

#include <string>

#include "gtest/gtest.h"

namespace vexa::port {
namespace {

std::string ProxyFor(const ProxyEnvironment& env, const std::string& host = "up.example.com") {
  std::string out;
  switch (ManualProxyString(env, host, &out)) {
    case ProxyLookup::kNone:
      return "(none)";
    case ProxyLookup::kUnusable:
      return "(unusable) " + out;
    case ProxyLookup::kFound:
      break;
  }
  return out;
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
  env.all_proxy = "socks://s.local:1083";  // taken as SOCKS5
  EXPECT_EQ(ProxyFor(env), "socks5=s.local:1083");
  // The HTTP proxy wins: every request is plain HTTP. It may be a SOCKS one.
  env.http_proxy = "h.local:8000";
  EXPECT_EQ(ProxyFor(env), "http=h.local:8000");
  env.http_proxy = "socks4a://h.local:8001";
  EXPECT_EQ(ProxyFor(env), "socks=h.local:8001");
}

TEST(ProxySettingsTest, ASettingThatCannotBeUsedIsReportedNotIgnored) {
  // Each of these must fail the connection; reporting "no proxy" would send
  // the request around the user's proxy.
  struct Case {
    const char* http_proxy;
    const char* all_proxy;
    const char* reason;
  } cases[] = {
      {"https://p:443", "", "http_proxy: the scheme \"https\" is not one of"},
      {"ftp://p:21", "", "the scheme \"ftp\""},
      {"http://p:0", "", "the port \"0\" is not a number in 1..65535"},
      {"http://p:65536", "", "the port \"65536\""},
      {"http://p:12x", "", "the port \"12x\""},
      {"http://p:", "", "the port \"\""},
      {"http://p:99999999999999999999", "", "the port"},
      {"http://:80", "", "no proxy host"},
      {"http://user:pw@", "", "no proxy host"},
      {"http://a;b:80", "", "\"a;b\" is not a host name"},
      {"http://a b:80", "", "\"a b\" is not a host name"},
      {"http://[::1]:80", "", "IPv6"},
      {"[::1]:3128", "", "IPv6"},
      {"", "https://p:443", "all_proxy: the scheme \"https\""},
      {"", "socks6://p:1", "all_proxy: the scheme \"socks6\""},
      // A broken HTTP proxy is not replaced by the all-protocols one.
      {"http://p:0", "socks5://s:1080", "http_proxy: the port"},
  };
  for (const Case& c : cases) {
    ProxyEnvironment env;
    env.http_proxy = c.http_proxy;
    env.all_proxy = c.all_proxy;
    std::string got = ProxyFor(env);
    EXPECT_EQ(got.rfind("(unusable) ", 0), 0u)
        << c.http_proxy << " / " << c.all_proxy << ": " << got;
    EXPECT_NE(got.find(c.reason), std::string::npos) << got;
    EXPECT_EQ(got.find("pw"), std::string::npos) << "credentials stay out of diagnostics: " << got;
  }
  // Blank variables are unset, and an exempted host goes direct whatever the
  // setting says.
  ProxyEnvironment env;
  env.http_proxy = "  ";
  EXPECT_EQ(ProxyFor(env), "(none)");
  env.http_proxy = "https://p:443";
  env.no_proxy = "up.example.com";
  EXPECT_EQ(ProxyFor(env), "(none)");
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
  TEST_SetProxyEnvironment(&env);
  std::string out;
  EXPECT_EQ(CurrentUserProxyString("h", &out), ProxyLookup::kFound);
  EXPECT_EQ(out, "socks5=127.0.0.1:9");
  TEST_SetProxyEnvironment(nullptr);
}

}  // namespace
}  // namespace vexa::port
