#include "net/proxy_handshake.h"

#include <string>
#include <string_view>
#include <vector>

#include "gtest/gtest.h"
#include "net/connect_to_server.h"
#include "net/http_client.h"
#include "net/network_failure.h"
#include "net/proxy_config.h"
#include "net/testing/scripted_peer.h"
#include "port/debug.h"
#include "port/proxy_settings.h"

namespace vexa {
namespace {

using Connection = ScriptedPeer::Connection;

const char kAnswer[] = "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\n{\"via\":1}";

using ProxyEnvironmentScope = port::ProxyEnvironmentScopeForTesting;

HttpClient ProxyTestClient() {
  HttpClient c;
  c.connectTimeoutMs = 2000;
  c.idleTimeoutMs = 1500;
  return c;
}

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

std::string PortOf(const ScriptedPeer& p) { return std::to_string(p.port()); }

// Serves a GET inside an established tunnel.
void ServeRequest(Connection& c, size_t tunnel_start) {
  while (c.received().find("\r\n\r\n", tunnel_start) == std::string::npos) {
    if (!c.ReadAtLeast(c.received().size() + 1)) return;
  }
  c.Write(kAnswer);
  c.WaitForClientClose();
}

TEST(HttpConnectTest, TunnelsAndKeepsBytesAfterTheProxyAnswer) {
  // The proxy's answer head and the first bytes of the server's answer arrive
  // in one piece; the kept bytes must become the start of the response.
  ScriptedPeer proxy([](Connection& c) {
    c.ReadUntil("\r\n\r\n");
    c.Write(
        "HTTP/1.0 200 Connection established\r\nProxy-Agent: test\r\n\r\nHTTP/1.1 200 "
        "OK\r\nContent-Length: 9\r\n");
    c.ReadUntil("User-Agent: vexaupload\r\n\r\n");
    c.Write("\r\n{\"via\":1}");
    c.WaitForClientClose();
  });
  ScriptedPeer server([](Connection&) {});
  ProxyEnvironmentScope env("http://127.0.0.1:" + PortOf(proxy), "");
  HttpClient client = ProxyTestClient();
  std::string response;
  ASSERT_TRUE(client.Get("http://127.0.0.1:" + PortOf(server) + "/x?y=1", &response));
  EXPECT_EQ(response, "{\"via\":1}");
  EXPECT_EQ(proxy.received(), "CONNECT 127.0.0.1:" + PortOf(server) +
                                  " HTTP/1.0\r\n\r\nGET /x?y=1 HTTP/1.1\r\nHost: "
                                  "127.0.0.1\r\nUser-Agent: vexaupload\r\n\r\n");
  EXPECT_EQ(server.connections(), 0);
}

TEST(HttpConnectTest, LowerCaseAnswerAndHighPortAreAccepted) {
  ScriptedPeer proxy([](Connection& c) {
    c.ReadUntil("\r\n\r\n");
    c.Write("http/1.1 200 connection established\r\n\r\n");
    c.WaitForClientClose();
  });
  CProxySocket s;
  ASSERT_TRUE(s.Initialize());
  ASSERT_TRUE(ParseProxyString("http=127.0.0.1:" + PortOf(proxy), s));
  ASSERT_TRUE(ConnectViaProxy(s, "up.example.com", 40000));
  s.Close();
  EXPECT_EQ(proxy.received(), "CONNECT up.example.com:40000 HTTP/1.0\r\n\r\n");
}

TEST(HttpConnectTest, RefusalFailsWithoutADirectAttempt) {
  for (std::string answer :
       {"HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic\r\n\r\n",
        "HTTP/1.1 403 Forbidden\r\n\r\n", "HTTP/1.1 20", "SSH-2.0\r\n\r\n"}) {
    ScriptedPeer proxy([&](Connection& c) {
      c.ReadUntil("\r\n\r\n");
      c.Write(answer);
    });
    ScriptedPeer server([](Connection& c) { ServeRequest(c, 0); });
    ProxyEnvironmentScope env("127.0.0.1:" + PortOf(proxy), "");
    HttpClient client = ProxyTestClient();
    client.consoleTrace = true;
    std::vector<std::string> lines;
    client.traceSink = [&](std::string_view s) { lines.emplace_back(s); };
    std::string response;
    EXPECT_FALSE(client.Get("http://127.0.0.1:" + PortOf(server) + "/", &response)) << answer;
    EXPECT_EQ(server.connections(), 0) << answer;
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[2], "代理类型: HTTP\n\n");
    EXPECT_EQ(lines[3], "代理地址: 127.0.0.1:" + PortOf(proxy) + "\n\n");
    EXPECT_EQ(lines[4], "\n2、连接代理服务器...\n\n");
    EXPECT_EQ(lines[5], "代理服务器连接失败\n\n");
  }
}

TEST(ProxyTest, UnreachableProxyFailsAndNoSystemProxyGoesDirect) {
  uint16_t dead_port;
  {
    ScriptedPeer gone([](Connection&) {});
    dead_port = gone.port();
  }
  ScriptedPeer server([](Connection& c) { ServeRequest(c, 0); });
  ProxyEnvironmentScope env("http://127.0.0.1:" + std::to_string(dead_port), "");
  HttpClient client = ProxyTestClient();
  std::string response;
  EXPECT_FALSE(client.Get("http://127.0.0.1:" + PortOf(server) + "/", &response));
  EXPECT_EQ(server.connections(), 0);

  client.useSystemProxy = false;
  ASSERT_TRUE(client.Get("http://127.0.0.1:" + PortOf(server) + "/", &response));
  EXPECT_EQ(response, "{\"via\":1}");
}

TEST(ProxyTest, AProxySettingThatCannotBeUsedFailsWithoutADirectAttempt) {
  ScriptedPeer server([](Connection& c) { ServeRequest(c, 0); });
  std::vector<std::string> debug;
  port::SetDebugSink([&](std::string_view s) { debug.emplace_back(s); });
  const std::string server_port = PortOf(server);
  const std::string settings[] = {"https://127.0.0.1:" + server_port,
                                  "http://127.0.0.1:0",
                                  "http://127.0.0.1:8o",
                                  "http://[::1]:" + server_port,
                                  "http://:" + server_port,
                                  "gopher://127.0.0.1:" + server_port};
  for (const std::string& bad : settings) {
    ProxyEnvironmentScope env(bad, "");
    HttpClient client = ProxyTestClient();
    client.consoleTrace = true;
    std::vector<std::string> lines;
    client.traceSink = [&](std::string_view s) { lines.emplace_back(s); };
    debug.clear();
    std::string response;
    EXPECT_FALSE(client.Get("http://127.0.0.1:" + server_port + "/", &response)) << bad;
    EXPECT_FALSE(client.Post("http://127.0.0.1:" + server_port + "/", "a=1", &response)) << bad;
    ASSERT_GE(lines.size(), 4u) << bad;
    EXPECT_EQ(lines[2], "\n2、连接代理服务器...\n\n") << bad;
    EXPECT_EQ(lines[3], "代理服务器连接失败\n\n") << bad;
    bool explained = false;
    for (const std::string& d : debug) explained |= d.rfind("PROXY UNUSABLE: http_proxy: ", 0) == 0;
    EXPECT_TRUE(explained) << bad;
  }
  port::SetDebugSink(nullptr);
  EXPECT_EQ(server.connections(), 0);
}

TEST(ProxyTest, NoProxyHostGoesDirect) {
  ScriptedPeer server([](Connection& c) { ServeRequest(c, 0); });
  ProxyEnvironmentScope env("http://127.0.0.1:9", "", "127.0.0.1");
  HttpClient client = ProxyTestClient();
  std::string response;
  ASSERT_TRUE(client.Get("http://127.0.0.1:" + PortOf(server) + "/", &response));
  EXPECT_EQ(response, "{\"via\":1}");
}

TEST(ProxyTest, HttpsAndUnnamedProxyTypesFailAfterConnecting) {
  ScriptedPeer proxy([](Connection& c) { c.WaitForClientClose(); });
  for (int32_t type : {int32_t{ProxyHttps}, int32_t{0}, int32_t{9}}) {
    CProxySocket s;
    ASSERT_TRUE(s.Initialize());
    s.proxyType = type;
    s.proxyHost = "127.0.0.1";
    s.proxyPort = proxy.port();
    EXPECT_FALSE(ConnectViaProxy(s, "h", 80));
    EXPECT_TRUE(s.IsValid());
  }
}

TEST(Socks4Test, SendsTheSocks4aRequestAndChecksTheGrant) {
  for (int grant : {0x5a, 0x5b}) {
    const std::string host = "up.example.com";
    const size_t request_size = host.size() + 16;
    ScriptedPeer proxy([&](Connection& c) {
      c.ReadAtLeast(request_size);
      c.Write(Bytes({0x00, grant, 0, 0, 0, 0, 0, 0}));
      if (grant == 0x5a) ServeRequest(c, request_size);
    });
    ProxyEnvironmentScope env("", "socks4a://127.0.0.1:" + PortOf(proxy));
    HttpClient client = ProxyTestClient();
    std::string response;
    bool ok = client.Get("http://" + host + ":443/p", &response);
    EXPECT_EQ(ok, grant == 0x5a);
    std::string expected = Bytes({0x04, 0x01, 0x01, 0xbb, 0, 0, 0, 1}) + "TORMIX" +
                           std::string(1, '\0') + host + std::string(1, '\0');
    EXPECT_EQ(proxy.received().substr(0, request_size), expected);
    if (ok) {
      EXPECT_EQ(response, "{\"via\":1}");
      EXPECT_EQ(proxy.received().substr(request_size),
                "GET /p HTTP/1.1\r\nHost: " + host + "\r\nUser-Agent: vexaupload\r\n\r\n");
    }
  }
}

TEST(Socks4Test, AReplyInPiecesIsReadWhole) {
  ScriptedPeer proxy([](Connection& c) {
    c.ReadUntil("h" + std::string(1, '\0'));
    c.Write(Bytes({0x00}));
    c.Write(Bytes({0x5a, 0, 0}));
    c.Write(Bytes({0, 0, 0, 0}));
    c.WaitForClientClose();
  });
  CProxySocket s;
  ASSERT_TRUE(s.Initialize());
  ParseProxyString("socks=127.0.0.1:" + PortOf(proxy), s);
  EXPECT_TRUE(ConnectViaProxy(s, "h", 80));
}

TEST(Socks5Test, NameGoesAsDomainAndIpv4AsAddress) {
  struct Case {
    std::string host;
    std::string address;
  } cases[] = {
      {"up.example.com", Bytes({0x03, 14}) + "up.example.com"},
      {"10.1.2.3", Bytes({0x01, 10, 1, 2, 3})},
      {"10.1.2.300", Bytes({0x03, 10}) + "10.1.2.300"},
  };
  for (const Case& c : cases) {
    const std::string request = Bytes({0x05, 0x01, 0x00}) + c.address + Bytes({0x1f, 0x90});
    ScriptedPeer proxy([&](Connection& conn) {
      conn.ReadAtLeast(4);
      conn.Write(Bytes({0x05, 0x00}));
      conn.ReadAtLeast(4 + request.size());
      // A reply with a domain-name bound address, followed at once by the
      // server's answer: the reply must be read to its end, no further.
      conn.Write(Bytes({0x05, 0x00, 0x00, 0x03, 5}) + "proxy" + Bytes({0x04, 0x38}));
      ServeRequest(conn, 4 + request.size());
    });
    ProxyEnvironmentScope env("", "socks5h://127.0.0.1:" + PortOf(proxy));
    HttpClient client = ProxyTestClient();
    std::string response;
    ASSERT_TRUE(client.Get("http://" + c.host + ":8080/", &response)) << c.host;
    EXPECT_EQ(response, "{\"via\":1}");
    EXPECT_EQ(proxy.received().substr(0, 4 + request.size()),
              Bytes({0x05, 0x02, 0x00, 0x02}) + request)
        << c.host;
  }
}

TEST(Socks5Test, UserNameAndPasswordSubNegotiation) {
  for (int verdict : {0x00, 0x01}) {
    ScriptedPeer proxy([&](Connection& c) {
      c.ReadAtLeast(4);
      c.Write(Bytes({0x05, 0x02}));
      c.ReadAtLeast(4 + 3 + 5 + 6);
      c.Write(Bytes({0x01, verdict}));
      if (verdict != 0) return;
      c.ReadAtLeast(4 + 14 + 10);
      c.Write(Bytes({0x05, 0x00, 0x00, 0x01, 127, 0, 0, 1, 0x30, 0x39}));
      c.WaitForClientClose();
    });
    CProxySocket s;
    ASSERT_TRUE(s.Initialize());
    ParseProxyString("socks5=127.0.0.1:" + PortOf(proxy), s);
    s.proxyUser = "alice";
    s.proxyPassword = "s3cret";
    EXPECT_EQ(ConnectViaProxy(s, "1.2.3.4", 80), verdict == 0);
    s.Close();
    EXPECT_EQ(proxy.received().substr(4, 14), Bytes({0x01, 5}) + "alice" + Bytes({6}) + "s3cret");
  }
}

TEST(Socks5Test, RefusalsFail) {
  std::vector<std::string> scripts[] = {
      {Bytes({0x05, 0xff})},  // no acceptable method
      {Bytes({0x04, 0x00})},  // not a SOCKS5 proxy
      {Bytes({0x05, 0x00}),
       Bytes({0x05, 0x05, 0x00, 0x01, 0, 0, 0, 0, 0, 0})},     // connection refused
      {Bytes({0x05, 0x00}), Bytes({0x05, 0x00, 0x00, 0x07})},  // unknown address type
      {Bytes({0x05})},                                         // cut short
  };
  for (const auto& replies : scripts) {
    ScriptedPeer proxy([&](Connection& c) {
      size_t want = 4;
      for (const std::string& r : replies) {
        c.ReadAtLeast(want);
        c.Write(r);
        want += 10;
      }
    });
    CProxySocket s;
    s.SetTimeouts(1000, 500);
    ASSERT_TRUE(s.Initialize());
    ParseProxyString("socks5=127.0.0.1:" + PortOf(proxy), s);
    EXPECT_FALSE(ConnectViaProxy(s, "1.2.3.4", 80));
  }
}

TEST(ParseDottedIPv4Test, OnlyFourDecimalParts) {
  uint8_t ip[4];
  ASSERT_TRUE(ParseDottedIPv4("192.168.0.255", ip));
  EXPECT_EQ(ip[0], 192);
  EXPECT_EQ(ip[3], 255);
  for (const char* bad :
       {"1.2.3", "1.2.3.4.5", "1.2.3.256", "a.b.c.d", "1..2.3", "1.2.3.4 ", "", "0001.2.3.4"}) {
    EXPECT_FALSE(ParseDottedIPv4(bad, ip)) << bad;
  }
}

}  // namespace
}  // namespace vexa

namespace vexa {
namespace {

// A resolver that knows no name.
class NoNamesApi : public port::SocketApiWrapper {
 public:
  NoNamesApi() : SocketApiWrapper(port::DefaultSocketApi()) {}
  bool Resolve(const std::string&, std::vector<uint32_t>*) override { return false; }
};

TEST(NetworkFailureTest, AFailedRequestNamesTheAddressAndTheCause) {
  uint16_t dead_port;
  {
    ScriptedPeer gone([](Connection&) {});
    dead_port = gone.port();
  }
  const std::string dead = std::to_string(dead_port);
  ScriptedPeer silent([](Connection& c) { c.WaitForClientClose(); });
  ScriptedPeer refusing_proxy([](Connection& c) {
    c.ReadUntil("\r\n\r\n");
    c.Write("HTTP/1.1 403 Forbidden\r\n\r\n");
  });
  ScriptedPeer server([](Connection& c) { ServeRequest(c, 0); });
  NoNamesApi no_names;
  const struct {
    const char* what;
    std::string proxy;  // http_proxy, empty for a direct request
    std::string url;
    port::SocketApi* api;
    std::string expected;
  } cases[] = {
      {"refused", "", "http://127.0.0.1:" + dead + "/", nullptr,
       "127.0.0.1:" + dead + ": connection refused"},
      {"unknown name", "", "http://files.example/", &no_names, "files.example:80: name not found"},
      {"silent server", "", "http://127.0.0.1:" + PortOf(silent) + "/", nullptr,
       "127.0.0.1:" + PortOf(silent) + ": timed out"},
      {"proxy says no", "http://127.0.0.1:" + PortOf(refusing_proxy),
       "http://127.0.0.1:" + PortOf(server) + "/", nullptr,
       "proxy 127.0.0.1:" + PortOf(refusing_proxy) +
           " refused the connection to 127.0.0.1:" + PortOf(server)},
      {"proxy unreachable", "http://127.0.0.1:" + dead, "http://127.0.0.1:" + PortOf(server) + "/",
       nullptr,
       "proxy 127.0.0.1:" + dead +
           ": connection refused (connecting to 127.0.0.1:" + PortOf(server) + ")"},
  };
  for (const auto& c : cases) {
    ProxyEnvironmentScope env(c.proxy, "");
    HttpClient client = ProxyTestClient();
    client.idleTimeoutMs = 300;
    if (c.api != nullptr) client.socketApi = c.api;
    std::string response;
    EXPECT_FALSE(client.Get(c.url, &response)) << c.what;
    EXPECT_EQ(c.expected, LastNetworkFailure()) << c.what;
  }
  // A connection that works clears the account of the last failure.
  ProxyEnvironmentScope env("", "");
  HttpClient client = ProxyTestClient();
  std::string response;
  ASSERT_TRUE(client.Get("http://127.0.0.1:" + PortOf(server) + "/", &response));
  EXPECT_EQ("", LastNetworkFailure());
}

}  // namespace
}  // namespace vexa
