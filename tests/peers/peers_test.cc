// The HTTP client and the proxy handshakes against real servers: nginx for
// the answers, squid for CONNECT, microsocks and danted for SOCKS. A peer that
// cannot be started fails the test.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "gtest/gtest.h"
#include "net/connection_cache.h"
#include "net/http_client.h"
#include "net/network_failure.h"
#include "net/testing/test_authority.h"
#include "net/testing/tls_peer.h"
#include "port/clock.h"
#include "port/proxy_settings.h"

namespace vexa {
namespace {

namespace fs = std::filesystem;

class Peer {
 public:
  explicit Peer(const std::string& kind) {
    std::random_device rd;
    dir_ =
        (fs::temp_directory_path() / ("vexa-peer-" + kind + "-" + std::to_string(rd()))).string();
    std::string cmd = Script() + " start " + kind + " '" + dir_ + "' >/dev/null";
    started_ = std::system(cmd.c_str()) == 0;
    if (started_) {
      std::ifstream in(dir_ + "/port");
      in >> port_;
      started_ = port_ > 0;
    }
  }
  ~Peer() {
    std::string cmd = Script() + " stop '" + dir_ + "'";
    if (std::system(cmd.c_str()) != 0) ADD_FAILURE() << "could not stop " << dir_;
  }
  bool started() const { return started_; }
  std::string port() const { return std::to_string(port_); }
  std::string dir() const { return dir_; }
  // Lines of a file of the peer's folder (0 when it does not exist).
  int LinesOf(const std::string& name) const {
    std::ifstream in(dir_ + "/" + name);
    int n = 0;
    for (std::string line; std::getline(in, line);) ++n;
    return n;
  }
  // nginx writes an access-log line as it finalises a request, which may be
  // just after the client has its answer: count once the log stops growing.
  int SettledLinesOf(const std::string& name) const {
    int lines = LinesOf(name);
    for (int quiet_ms = 0, waited_ms = 0; quiet_ms < 300 && waited_ms < 3000; waited_ms += 50) {
      port::SleepMs(50);
      const int now = LinesOf(name);
      quiet_ms = now == lines ? quiet_ms + 50 : 0;
      lines = now;
    }
    return lines;
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(dir_ + "/" + name);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

 private:
  static std::string Script() { return std::string("bash '") + VEXA_PEERS_DIR + "/peer.sh'"; }

  std::string dir_;
  int port_ = 0;
  bool started_ = false;
};

using ProxyScope = port::ProxyEnvironmentScopeForTesting;

class PeersTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { nginx_ = new Peer("nginx"); }
  static void TearDownTestSuite() {
    delete nginx_;
    nginx_ = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(nginx_->started()) << "nginx did not start"; }

  static std::string Url(const std::string& host, const std::string& path) {
    return "http://" + host + ":" + nginx_->port() + path;
  }
  static HttpClient Client() {
    HttpClient c;
    c.connectTimeoutMs = 5000;
    c.idleTimeoutMs = 20000;  // long: a hang on a kept-alive connection must show as slowness
    return c;
  }

  static Peer* nginx_;
};

Peer* PeersTest::nginx_ = nullptr;

TEST_F(PeersTest, NginxKeptAliveJsonArrivesAtOnce) {
  ProxyScope direct("", "");
  HttpClient client = Client();
  std::string body;
  uint64_t start = port::MonotonicMillis();
  ASSERT_TRUE(client.Get(Url("127.0.0.1", "/space.json"), &body));
  EXPECT_LT(port::MonotonicMillis() - start, 1000u);
  EXPECT_EQ(body, nginx_->Read("html/space.json"));
}

TEST_F(PeersTest, NginxChunkedAnswerIsDecodedWhole) {
  ProxyScope direct("", "");
  HttpClient client = Client();
  std::string body;
  uint64_t start = port::MonotonicMillis();
  ASSERT_TRUE(client.Get(Url("localhost", "/chunked.json"), &body));
  EXPECT_LT(port::MonotonicMillis() - start, 1000u);
  EXPECT_EQ(body, nginx_->Read("html/chunked.json"));
  EXPECT_GT(body.size(), 6000u);
}

TEST_F(PeersTest, NginxFormPostAndMissingPage) {
  ProxyScope direct("", "");
  HttpClient client = Client();
  std::string body;
  ASSERT_TRUE(client.Post(Url("127.0.0.1", "/post"), "user=a&sign=b", &body));
  EXPECT_EQ(body, "{\"posted\":true}");
  ASSERT_TRUE(client.Post(Url("127.0.0.1", "/post"), "", &body));
  EXPECT_EQ(body, "{\"posted\":true}");
  EXPECT_FALSE(client.Get(Url("127.0.0.1", "/missing.json"), &body));
  EXPECT_EQ(body.rfind("HTTP/1.1 404", 0), 0u) << body;
}

TEST_F(PeersTest, SquidTunnelsWithConnect) {
  Peer squid("squid");
  ASSERT_TRUE(squid.started()) << "squid did not start";
  ProxyScope proxy("http://127.0.0.1:" + squid.port(), "");
  HttpClient client = Client();
  std::string body;
  ASSERT_TRUE(client.Get(Url("127.0.0.1", "/space.json"), &body));
  EXPECT_EQ(body, nginx_->Read("html/space.json"));
  ASSERT_TRUE(client.Get(Url("127.0.0.1", "/chunked.json"), &body));
  EXPECT_EQ(body, nginx_->Read("html/chunked.json"));
  ASSERT_TRUE(client.Post(Url("127.0.0.1", "/post"), "a=1", &body));
  EXPECT_EQ(body, "{\"posted\":true}");
}

// Counts the connections the client starts.
class ConnectCounter : public port::SocketApiWrapper {
 public:
  ConnectCounter() : SocketApiWrapper(port::DefaultSocketApi()) {}
  int Connect(port::SocketHandle s, const port::Endpoint& to, int timeout_ms) override {
    ++connects;
    return SocketApiWrapper::Connect(s, to, timeout_ms);
  }
  std::atomic<int> connects{0};
};

TEST_F(PeersTest, KeptConnectionsServeLaterRequestsOfTheirRouteOnly) {
  Peer squid("squid");
  ASSERT_TRUE(squid.started()) << "squid did not start";
  ConnectCounter counter;
  ConnectionCache cache;
  HttpClient client = Client();
  client.socketApi = &counter;
  client.connections = &cache;
  auto three_requests = [&] {
    std::string body;
    EXPECT_TRUE(client.Get(Url("127.0.0.1", "/space.json"), &body));
    EXPECT_TRUE(client.Get(Url("127.0.0.1", "/chunked.json"), &body));
    EXPECT_EQ(body, nginx_->Read("html/chunked.json"));
    EXPECT_TRUE(client.Post(Url("127.0.0.1", "/post"), "a=1", &body));
    EXPECT_EQ(body, "{\"posted\":true}");
  };
  {
    ProxyScope direct("", "");
    three_requests();
    EXPECT_EQ(counter.connects.load(), 1);
  }
  {
    // The tunnel is another route: its own connection, kept as well.
    ProxyScope proxy("http://127.0.0.1:" + squid.port(), "");
    three_requests();
    EXPECT_EQ(counter.connects.load(), 2);
  }
  ProxyScope direct("", "");
  three_requests();
  EXPECT_EQ(counter.connects.load(), 2);
  cache.Clear();
}

TEST_F(PeersTest, SquidDemandingCredentialsFailsWithoutADirectAttempt) {
  Peer squid("squid-auth");
  ASSERT_TRUE(squid.started()) << "squid did not start";
  ProxyScope proxy("http://127.0.0.1:" + squid.port(), "");
  HttpClient client = Client();
  int requests_before = nginx_->SettledLinesOf("access.log");
  std::string body;
  EXPECT_FALSE(client.Get(Url("127.0.0.1", "/space.json"), &body));
  EXPECT_FALSE(client.Post(Url("127.0.0.1", "/post"), "a=1", &body));
  EXPECT_EQ(nginx_->SettledLinesOf("access.log"), requests_before);
}

TEST_F(PeersTest, MicrosocksSocks5ByNameAndByAddress) {
  Peer socks("microsocks");
  ASSERT_TRUE(socks.started()) << "microsocks did not start";
  ProxyScope proxy("", "socks5h://127.0.0.1:" + socks.port());
  HttpClient client = Client();
  std::string body;
  ASSERT_TRUE(client.Get(Url("localhost", "/space.json"), &body));
  EXPECT_EQ(body, nginx_->Read("html/space.json"));
  ASSERT_TRUE(client.Post(Url("127.0.0.1", "/post"), "a=1", &body));
  EXPECT_EQ(body, "{\"posted\":true}");
}

TEST_F(PeersTest, DanteSocks5WorksAndRefusesSocks4aCleanly) {
  Peer socks("danted");
  ASSERT_TRUE(socks.started()) << "danted did not start";
  HttpClient client = Client();
  std::string body;
  {
    ProxyScope proxy("", "socks5://127.0.0.1:" + socks.port());
    ASSERT_TRUE(client.Get(Url("localhost", "/space.json"), &body));
    EXPECT_EQ(body, nginx_->Read("html/space.json"));
  }
  {
    // Dante grants SOCKS4 but not the host-name form 4a; its refusal must
    // fail the request, with no direct attempt behind it.
    ProxyScope proxy("", "socks4a://127.0.0.1:" + socks.port());
    int requests_before = nginx_->SettledLinesOf("access.log");
    EXPECT_FALSE(client.Get(Url("localhost", "/space.json"), &body));
    EXPECT_EQ(nginx_->SettledLinesOf("access.log"), requests_before);
  }
}

// TLS runs inside the tunnel: the proxy sees only the CONNECT or SOCKS
// request, the server the same request bytes as over plain HTTP.
TEST_F(PeersTest, HttpsThroughSquidAndSocksTunnels) {
  TestAuthority ca;
  ASSERT_TRUE(ca.ok()) << ca.error();
  setenv("VEXAUPLOAD_CA_FILE", ca.ca_file().c_str(), 1);
  const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 12\r\n\r\n{\"tls\":true}";
  TlsPeer server({ca.cert(TestAuthority::kGood), ca.key(TestAuthority::kGood), answer});
  ASSERT_NE(server.port(), 0) << server.error();
  Peer squid("squid");
  Peer socks("microsocks");
  ASSERT_TRUE(squid.started()) << "squid did not start";
  ASSERT_TRUE(socks.started()) << "microsocks did not start";
  const struct {
    std::string http_proxy;
    std::string all_proxy;
    const char* host;
  } cases[] = {
      {"http://127.0.0.1:" + squid.port(), "", "127.0.0.1"},
      {"", "socks5h://127.0.0.1:" + socks.port(), "localhost"},
      {"", "socks5://127.0.0.1:" + socks.port(), "127.0.0.1"},
  };
  int handshakes = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.http_proxy + c.all_proxy);
    ProxyScope proxy(c.http_proxy, c.all_proxy);
    HttpClient client = Client();
    const std::string before = server.received();
    std::string body;
    ASSERT_TRUE(client.Get(
        "https://" + std::string(c.host) + ":" + std::to_string(server.port()) + "/space", &body))
        << LastNetworkFailure();
    EXPECT_EQ(body, "{\"tls\":true}");
    EXPECT_EQ(server.handshakes(), ++handshakes);
    EXPECT_EQ(server.received().substr(before.size()),
              "GET /space HTTP/1.1\r\nHost: " + std::string(c.host) +
                  "\r\nUser-Agent: vexaupload\r\n\r\n");
  }
  unsetenv("VEXAUPLOAD_CA_FILE");
}

}  // namespace
}  // namespace vexa
