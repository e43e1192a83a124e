#include "net/http_client.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "net/testing/scripted_peer.h"
#include "port/clock.h"
#include "port/tls.h"

namespace vexa {
namespace {

using Connection = ScriptedPeer::Connection;

std::string Url(const ScriptedPeer& peer, const std::string& path) {
  return "http://127.0.0.1:" + std::to_string(peer.port()) + path;
}

// A direct client with short time-outs, so a fault fails fast.
HttpClient TestClient() {
  HttpClient c;
  c.useSystemProxy = false;
  c.connectTimeoutMs = 2000;
  c.idleTimeoutMs = 1500;
  return c;
}

// Answers one request with `answer`, then keeps the connection open as a
// keep-alive server does.
ScriptedPeer::Script AnswerAndKeepOpen(std::string answer) {
  return [answer](Connection& c) {
    c.ReadUntil("\r\n\r\n");
    c.Write(answer);
    c.WaitForClientClose(10000);
  };
}

TEST(ParseUrlTest, SplitsHostPortAndPath) {
  ParsedUrl u = ParseUrl("http://up.example.com:8080/a/b.php?x=1&y=/z");
  EXPECT_EQ(u.scheme, "http");
  EXPECT_EQ(u.host, "up.example.com");
  EXPECT_EQ(u.port, 8080);
  EXPECT_EQ(u.path, "/a/b.php?x=1&y=/z");

  u = ParseUrl("http://example.com");
  EXPECT_EQ(u.host, "example.com");
  EXPECT_EQ(u.port, 80);
  EXPECT_EQ(u.path, "/");

  // Never connected to: what asked for encryption is not sent in the clear.
  // Where TLS is available, https is spoken over it (443 by default).
  const bool tls = port::TlsAvailable();
  struct SchemeCase {
    const char* url;
    int32_t port;
    bool tls;
  } scheme_cases[] = {
      {"https://example.com/x", tls ? 443 : 0, tls},
      {"HTTPS://example.com:8443/", tls ? 8443 : 0, tls},
      {"ftp://example.com:21/", 0, false},
      {"http://example.com:443/", 443, false},
  };
  for (const SchemeCase& c : scheme_cases) {
    EXPECT_EQ(c.port, ParseUrl(c.url).port) << c.url;
    EXPECT_EQ(c.tls, ParseUrl(c.url).tls) << c.url;
  }
  EXPECT_EQ("https", ParseUrl("https://example.com/x").scheme);
  EXPECT_EQ(8080, ParseUrl("HTTP://example.com:8080/x").port);

  EXPECT_EQ(ParseUrl("http://example.com:/x").port, 0);
  EXPECT_EQ(ParseUrl("http://example.com:abc/x").port, 0);
  EXPECT_EQ(ParseUrl("http://example.com:4294967376/").port, 80);  // low 32 bits

  u = ParseUrl("example.com:81/p");
  EXPECT_EQ(u.host, "example.com");
  EXPECT_EQ(u.port, 81);
  EXPECT_EQ(u.path, "/p");

  u = ParseUrl("http://example.com?q=1");
  EXPECT_EQ(u.host, "example.com");
  EXPECT_EQ(u.path, "/?q=1");
}

TEST(HttpClientTest, GetSendsExactBytesAndDoesNotWaitForAKeptAliveConnection) {
  ScriptedPeer peer(AnswerAndKeepOpen(
      "HTTP/1.1 200 OK\r\nContent-Length: 7\r\nConnection: keep-alive\r\n\r\n{\"a\":1}"));
  HttpClient client = TestClient();
  client.idleTimeoutMs = 20000;  // a hang would show, not be cut by the time-out
  std::string response;
  uint64_t start = port::MonotonicMillis();
  ASSERT_TRUE(client.Get(Url(peer, "/app/user/space?uid=1&k=2"), &response));
  EXPECT_LT(port::MonotonicMillis() - start, 1000u);
  EXPECT_EQ(response, "{\"a\":1}");
  EXPECT_EQ(peer.received(),
            "GET /app/user/space?uid=1&k=2 HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: "
            "vexaupload\r\n\r\n");
}

TEST(HttpClientTest, PostSendsExactHeadAndBody) {
  ScriptedPeer peer([](Connection& c) {
    c.ReadUntil("a=1&b=%26");
    c.Write("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
    c.WaitForClientClose();
  });
  HttpClient client = TestClient();
  client.userAgent = "agent/2";
  std::string response;
  ASSERT_TRUE(client.Post(Url(peer, "/app/clogin"), "a=1&b=%26", &response));
  EXPECT_EQ(response, "ok");
  EXPECT_EQ(
      peer.received(),
      "POST /app/clogin HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 9\r\nUser-Agent: agent/2\r\n"
      "Content-Type: application/x-www-form-urlencoded\r\n\r\na=1&b=%26");
}

TEST(HttpClientTest, PostWithAnEmptyBodyIsAValidRequest) {
  ScriptedPeer peer(AnswerAndKeepOpen("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}"));
  HttpClient client = TestClient();
  std::string response;
  ASSERT_TRUE(client.Post(Url(peer, "/p"), "", &response));
  EXPECT_EQ(response, "{}");
  EXPECT_NE(peer.received().find("Content-Length: 0\r\n"), std::string::npos);
}

TEST(HttpClientTest, ReadsAnswersWhateverTheirFraming) {
  struct Case {
    std::vector<std::string> pieces;
    std::string body;
  } cases[] = {
      // Split packets, even inside the status line and the length.
      {{"HT", "TP/1.1 2", "00 OK\r\nContent-Le", "ngth: 5\r", "\n\r", "\nhel", "lo"}, "hello"},
      {{"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n9\r\n{\"one\":1}\r\n0\r\n\r\n"},
       "{\"one\":1}"},
      {{"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", "3\r\n{\"a\r\n", "4\r\n\":12\r\n",
        "1\r\n}\r\n", "0\r\n\r\n"},
       "{\"a\":12}"},
      {{"HTTP/1.1 200 OK\r\ntransfer-encoding: "
        "chunked\r\n\r\n4;ext=1\r\nab\r\n\r\n3\r\n0\r\n\r\n0\r\nX-T: y\r\n\r\n"},
       "ab\r\n0\r\n"},
      {{"HTTP/1.1 100 Continue\r\n\r\n", "HTTP/1.1 200 Fine\r\nContent-Length: 1\r\n\r\n1"}, "1"},
  };
  for (const Case& c : cases) {
    ScriptedPeer peer([&](Connection& conn) {
      conn.ReadUntil("\r\n\r\n");
      for (const std::string& piece : c.pieces) {
        conn.Write(piece);
        port::SleepMs(5);
      }
      conn.WaitForClientClose();
    });
    HttpClient client = TestClient();
    std::string response;
    EXPECT_TRUE(client.Get(Url(peer, "/"), &response)) << c.body;
    EXPECT_EQ(response, c.body);
  }
}

TEST(HttpClientTest, BodyEndsAtCloseWithoutLengthOrChunks) {
  ScriptedPeer peer([](Connection& c) {
    c.ReadUntil("\r\n\r\n");
    c.Write("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nuntil close");
  });
  HttpClient client = TestClient();
  std::string response;
  ASSERT_TRUE(client.Get(Url(peer, "/"), &response));
  EXPECT_EQ(response, "until close");
}

TEST(HttpClientTest, NonSuccessAndBrokenAnswersFail) {
  const std::string not_found =
      "HTTP/1.1 404 Not Found\r\nContent-Length: 19\r\n\r\nHTTP/1.1 200 OK\r\n\r\n";
  for (const std::string& answer :
       {not_found, std::string("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nshort"),
        std::string("HTTP/1.1 200 OK\r\nServer: x\r\n"),
        std::string("<html>not http</html>\r\n\r\n")}) {
    ScriptedPeer peer([&](Connection& c) {
      c.ReadUntil("\r\n\r\n");
      c.Write(answer);
    });
    HttpClient client = TestClient();
    std::string response;
    EXPECT_FALSE(client.Get(Url(peer, "/"), &response)) << answer;
    EXPECT_EQ(response, answer) << "the raw answer is kept";
  }
}

TEST(HttpClientTest, SilentServerTimesOut) {
  ScriptedPeer peer([](Connection& c) { c.WaitForClientClose(); });
  HttpClient client = TestClient();
  client.idleTimeoutMs = 300;
  std::string response;
  uint64_t start = port::MonotonicMillis();
  EXPECT_FALSE(client.Get(Url(peer, "/"), &response));
  EXPECT_FALSE(client.Post(Url(peer, "/"), "x=1", &response));
  EXPECT_LT(port::MonotonicMillis() - start, 3000u);
}

// A user's stop arriving from another thread while a request waits: the
// request's abort check reads the flag.
class StopAfter {
 public:
  explicit StopAfter(uint32_t delay_ms)
      : thread_([this, delay_ms] {
          port::SleepMs(delay_ms);
          stopped_at_ = port::MonotonicMillis();
          stop_ = true;
        }) {}
  ~StopAfter() { thread_.join(); }

  RequestOptions Options() {
    RequestOptions o;
    o.abortCheck = [this] { return stop_.load(); };
    return o;
  }
  // Milliseconds from the stop to now.
  uint64_t SinceStop() const { return stop_ ? port::MonotonicMillis() - stopped_at_.load() : 0; }
  bool stopped() const { return stop_; }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> stopped_at_{0};
  std::thread thread_;
};

// Time-outs far beyond what a stop may take, so only the stop can end the
// request in time. The requirement is one second; the bound leaves room for a
// loaded machine.
constexpr int kLongTimeoutMs = 30000;
constexpr uint64_t kStopBoundMs = 3000;

HttpClient PatientClient() {
  HttpClient c = TestClient();
  c.connectTimeoutMs = kLongTimeoutMs;
  c.idleTimeoutMs = kLongTimeoutMs;
  return c;
}

TEST(HttpClientStopTest, AStopEndsARequestToAPeerThatNeverAnswers) {
  ScriptedPeer peer([](Connection& c) { c.WaitForClientClose(); });
  const HttpClient client = PatientClient();
  std::string response;
  {
    StopAfter stop(200);
    EXPECT_FALSE(client.Get(Url(peer, "/check"), stop.Options(), &response));
    EXPECT_TRUE(stop.stopped());
    EXPECT_LT(stop.SinceStop(), kStopBoundMs);
  }
  {
    StopAfter stop(200);
    EXPECT_FALSE(client.Post(Url(peer, "/dispatch"), "a=1", stop.Options(), &response));
    EXPECT_TRUE(stop.stopped());
    EXPECT_LT(stop.SinceStop(), kStopBoundMs);
  }
  // The request's own idle time-out replaces the client's.
  RequestOptions shorter;
  shorter.idleTimeoutMs = 300;
  uint64_t start = port::MonotonicMillis();
  EXPECT_FALSE(client.Get(Url(peer, "/"), shorter, &response));
  EXPECT_LT(port::MonotonicMillis() - start, kStopBoundMs);
}

TEST(HttpClientStopTest, AStopEndsAConnectThatIsNeverAccepted) {
  // A listener whose backlog is full and that never accepts: the kernel drops
  // further connection requests, so a connect waits as for a dead host.
  port::SocketApi* api = port::DefaultSocketApi();
  uint16_t listen_port = 0;
  port::SocketHandle listener = api->Listen(0, &listen_port);
  ASSERT_NE(listener, port::kInvalidSocket);
  std::vector<port::SocketHandle> fillers;
  for (int i = 0; i < 100; ++i) {
    port::SocketHandle s = api->Create();
    if (s == port::kInvalidSocket) break;
    api->Connect(s, port::Endpoint{0x7f000001u, listen_port}, 0);
    fillers.push_back(s);
  }
  port::SleepMs(100);
  {
    CActiveSocket probe;
    probe.SetTimeouts(300, 300);
    ASSERT_TRUE(probe.Initialize());
    bool connected = probe.Open("127.0.0.1", listen_port);
    if (connected || probe.last_status() != SocketStatus::TimedOut) {
      for (port::SocketHandle s : fillers) api->Close(s);
      api->Close(listener);
      GTEST_SKIP() << "this system completes connects to a full backlog";
    }
  }
  const HttpClient client = PatientClient();
  const std::string url = "http://127.0.0.1:" + std::to_string(listen_port) + "/";
  std::string response;
  {
    StopAfter stop(200);
    EXPECT_FALSE(client.Get(url, stop.Options(), &response));
    EXPECT_TRUE(stop.stopped());
    EXPECT_LT(stop.SinceStop(), kStopBoundMs);
  }
  RequestOptions shorter;
  shorter.connectTimeoutMs = 300;
  uint64_t start = port::MonotonicMillis();
  EXPECT_FALSE(client.Post(url, "a=1", shorter, &response));
  EXPECT_LT(port::MonotonicMillis() - start, kStopBoundMs);
  for (port::SocketHandle s : fillers) api->Close(s);
  api->Close(listener);
}

// A resolver that never answers until the test lets it. Its state is shared
// with every call, so a call that returns after the request (and this object)
// ended touches only memory it co-owns.
class HangingResolverApi : public port::SocketApiWrapper {
 public:
  struct Gate {
    std::mutex mu;
    std::condition_variable cv;
    bool open = false;
    int entered = 0;
    int returned = 0;
  };

  HangingResolverApi()
      : SocketApiWrapper(port::DefaultSocketApi()), gate_(std::make_shared<Gate>()) {}

  bool Resolve(const std::string& host, std::vector<uint32_t>* addresses) override {
    std::shared_ptr<Gate> gate = gate_;
    std::unique_lock<std::mutex> lock(gate->mu);
    ++gate->entered;
    gate->cv.notify_all();
    gate->cv.wait(lock, [&] { return gate->open; });
    // Writes where the caller asked: freed memory here would show under ASan.
    addresses->assign(1, 0x7f000001u);
    ++gate->returned;
    gate->cv.notify_all();
    return !host.empty();
  }

  // Lets every hung call return and waits until they have.
  void ReleaseAndWait() {
    std::unique_lock<std::mutex> lock(gate_->mu);
    gate_->open = true;
    gate_->cv.notify_all();
    gate_->cv.wait(lock, [&] { return gate_->returned == gate_->entered; });
  }
  int entered() {
    std::lock_guard<std::mutex> lock(gate_->mu);
    return gate_->entered;
  }

 private:
  std::shared_ptr<Gate> gate_;
};

TEST(HttpClientStopTest, AStopOrTheConnectTimeOutEndsAHungNameResolution) {
  // The fake outlives every resolver thread (the test waits for them), as a
  // socket seam must.
  static HangingResolverApi* api = new HangingResolverApi();
  HttpClient client = PatientClient();
  client.socketApi = api;
  std::string response;
  {
    StopAfter stop(200);
    EXPECT_FALSE(client.Get("http://stuck.example/space", stop.Options(), &response));
    EXPECT_TRUE(stop.stopped());
    EXPECT_LT(stop.SinceStop(), kStopBoundMs);
  }
  RequestOptions shorter;
  shorter.connectTimeoutMs = 300;
  uint64_t start = port::MonotonicMillis();
  auto socket = client.NewSocket(shorter);
  ASSERT_TRUE(socket->Initialize());
  EXPECT_FALSE(socket->Open("stuck.example", 80));
  EXPECT_EQ(socket->last_status(), SocketStatus::TimedOut);
  EXPECT_LT(port::MonotonicMillis() - start, kStopBoundMs);
  socket.reset();
  EXPECT_EQ(api->entered(), 2);
  // The abandoned resolutions now finish, after their requests ended.
  api->ReleaseAndWait();
  port::SleepMs(50);  // and store their results while the sanitizers watch
}

TEST(HttpClientTest, AnswerOverTheCapFails) {
  ScriptedPeer peer([](Connection& c) {
    c.ReadUntil("\r\n\r\n");
    if (!c.Write("HTTP/1.1 200 OK\r\n\r\n")) return;
    std::string block(1 << 20, 'j');
    for (int i = 0; i < 40; ++i) {
      if (!c.Write(block)) return;
    }
  });
  HttpClient client = TestClient();
  std::string response;
  EXPECT_FALSE(client.Get(Url(peer, "/"), &response));
  EXPECT_LE(response.size(), kMaxResponseBytes + kReceivePiece);
}

TEST(HttpClientTest, PortZeroFailsWithoutAConnection) {
  ScriptedPeer peer(AnswerAndKeepOpen("HTTP/1.1 200 OK\r\n\r\n"));
  HttpClient client = TestClient();
  std::string response;
  EXPECT_FALSE(client.Get("http://127.0.0.1:/x", &response));
  EXPECT_FALSE(client.Get("http://127.0.0.1:70000/x", &response));
  auto socket = client.NewSocket();
  ASSERT_TRUE(socket->Initialize());
  EXPECT_FALSE(socket->Open("127.0.0.1", 0));
  EXPECT_EQ(socket->last_status(), SocketStatus::InvalidPort);
}

TEST(HttpClientTest, SelfTestTraceOfADirectGet) {
  ScriptedPeer peer(AnswerAndKeepOpen("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}"));
  HttpClient client = TestClient();
  client.consoleTrace = true;
  std::vector<std::string> lines;
  client.traceSink = [&](std::string_view s) { lines.emplace_back(s); };
  std::string response;
  ASSERT_TRUE(client.Get(Url(peer, "/"), &response));
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0], "vexa网盘上传控件网络测试工具 v1.0\n\n");
  EXPECT_EQ(lines[1], "1、检测代理设置...\n\n");
  EXPECT_EQ(lines[2], "没有找到代理设置\n\n");
  EXPECT_EQ(lines[3], "3、发送测试请求...\n\n");
  EXPECT_EQ(lines[4].rfind("网络连接成功 (", 0), 0u) << lines[4];
  EXPECT_EQ(lines[4].substr(lines[4].size() - 5), "ms)\n\n");
  EXPECT_EQ(lines[5], "4、网络测试完成\n\n");

  // A silent server: the failure line, then the closing step.
  ScriptedPeer silent([](Connection& c) { c.WaitForClientClose(); });
  client.idleTimeoutMs = 200;
  lines.clear();
  EXPECT_FALSE(client.Get(Url(silent, "/"), &response));
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[4], "网络连接失败\n\n");
  EXPECT_EQ(lines[5], "4、网络测试完成\n\n");

  // Post traces only the connection steps; no trace at all when switched off.
  lines.clear();
  EXPECT_TRUE(client.Post(Url(peer, "/"), "a=b", &response));
  EXPECT_EQ(lines.size(), 3u);
  client.consoleTrace = false;
  lines.clear();
  client.Get(Url(peer, "/"), &response);
  EXPECT_TRUE(lines.empty());
}

TEST(HttpClientTest, OneClientServesSeveralThreadsAtOnce) {
  // Each answer echoes the request path, so crossed connections would show.
  ScriptedPeer peer([](Connection& c) {
    if (!c.ReadUntil("\r\n\r\n")) return;
    const std::string& r = c.received();
    std::string path = r.substr(4, r.find(' ', 4) - 4);
    c.Write("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(path.size()) + "\r\n\r\n" +
            path);
  });
  const HttpClient client = TestClient();
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 5; ++i) {
        std::string path = "/t" + std::to_string(t) + "/" + std::to_string(i);
        std::string response;
        if (client.Get(Url(peer, path), &response) && response == path) ++good;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(good, 20);
  EXPECT_EQ(ProcessHttpClient().userAgent, "vexaupload");
  EXPECT_TRUE(ProcessHttpClient().useSystemProxy);
  EXPECT_FALSE(ProcessHttpClient().consoleTrace);
}

}  // namespace
}  // namespace vexa
