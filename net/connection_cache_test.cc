#include "net/connection_cache.h"

#include <memory>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "net/http_client.h"
#include "net/testing/scripted_peer.h"

namespace vexa {
namespace {

using Connection = ScriptedPeer::Connection;

size_t CountOf(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

bool WaitForRequests(Connection& c, size_t n) {
  while (CountOf(c.received(), "\r\n\r\n") < n) {
    if (!c.ReadAtLeast(c.received().size() + 1, 5000)) return false;
  }
  return true;
}

// Serves requests on each connection as long as the client sends them, each
// with `head` + "r<i>" + `tail` (i counted per connection). `silent_after` >
// 0: the connection's request number `silent_after` gets no answer and the
// connection is closed, as by a peer whose idle time ran out just as the
// request came.
ScriptedPeer::Script ServeRequests(std::string head, std::string tail = "", int silent_after = 0) {
  return [head, tail, silent_after](Connection& c) {
    // Without a length or chunks the close ends the body.
    const bool framed = head.find("Content-Length") != std::string::npos ||
                        head.find("chunked") != std::string::npos;
    for (int i = 0; WaitForRequests(c, static_cast<size_t>(i + 1)); ++i) {
      if (silent_after > 0 && i + 1 == silent_after) return;
      if (!c.Write(head + "r" + std::to_string(i) + tail) || !framed) return;
    }
  };
}

HttpClient CachingClient(ConnectionCache* cache) {
  HttpClient c;
  c.useSystemProxy = false;
  c.connectTimeoutMs = 2000;
  c.idleTimeoutMs = 5000;
  c.connections = cache;
  return c;
}

std::string Url(const ScriptedPeer& peer) {
  return "http://127.0.0.1:" + std::to_string(peer.port()) + "/q";
}

TEST(ConnectionCacheTest, AConnectionIsReusedOnlyWhileThePeerKeepsIt) {
  struct Case {
    const char* what;
    std::string head;
    std::string tail;
    int connections;  // for three requests
  };
  const std::vector<Case> cases = {
      {"length, HTTP/1.1", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n", "", 1},
      {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\n", "\r\n0\r\n\r\n", 1},
      {"close among options",
       "HTTP/1.1 200 OK\r\nConnection: keep-alive, Close\r\nContent-Length: 2\r\n\r\n", "", 3},
      {"HTTP/1.0", "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\n", "", 3},
      {"ended by close", "HTTP/1.1 200 OK\r\n\r\n", "", 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedPeer peer(ServeRequests(c.head, c.tail));
    ConnectionCache cache;
    const HttpClient client = CachingClient(&cache);
    for (int i = 0; i < 3; ++i) {
      std::string response;
      ASSERT_TRUE(client.Get(Url(peer), &response)) << i;
      EXPECT_EQ(response, "r" + std::to_string(c.connections == 1 ? i : 0));
    }
    EXPECT_EQ(peer.connections(), c.connections);
    EXPECT_EQ(cache.size(), c.connections == 1 ? 1u : 0u);
  }
}

TEST(ConnectionCacheTest, AKeptConnectionFoundClosedIsReplacedOnceAtOnce) {
  // Each connection answers its first request and closes on the second
  // without a byte of answer.
  ScriptedPeer peer(ServeRequests("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n", "", 2));
  ConnectionCache cache;
  const HttpClient client = CachingClient(&cache);
  std::string response;
  ASSERT_TRUE(client.Get(Url(peer), &response));
  ASSERT_TRUE(client.Post(Url(peer), "a=1", &response));
  EXPECT_EQ(response, "r0");
  EXPECT_EQ(peer.connections(), 2);
  // The request went out again unchanged on the new connection.
  const std::string all = peer.received();
  const std::string post = "POST /q HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 3\r\n";
  EXPECT_EQ(CountOf(all, post), 2u);

  // Without a cache nothing is kept, so nothing is sent twice.
  ScriptedPeer plain(ServeRequests("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n", "", 2));
  const HttpClient uncached = CachingClient(nullptr);
  ASSERT_TRUE(uncached.Get(Url(plain), &response));
  ASSERT_TRUE(uncached.Get(Url(plain), &response));
  EXPECT_EQ(plain.connections(), 2);
}

TEST(ConnectionCacheTest, AKeptConnectionThatTimesOutIsNotSentAgain) {
  ScriptedPeer peer([](Connection& c) {
    c.ReadUntil("\r\n\r\n");
    c.Write("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
    c.WaitForClientClose(10000);  // the second request is never answered
  });
  ConnectionCache cache;
  HttpClient client = CachingClient(&cache);
  client.idleTimeoutMs = 300;
  std::string response;
  ASSERT_TRUE(client.Get(Url(peer), &response));
  EXPECT_FALSE(client.Get(Url(peer), &response));
  EXPECT_EQ(peer.connections(), 1);
  EXPECT_EQ(cache.size(), 0u);
}

TEST(ConnectionCacheTest, TakesOnlyLiveConnectionsOfTheSameRouteWithinItsBounds) {
  ScriptedPeer peer([](Connection& c) { c.WaitForClientClose(10000); });
  auto open = [&peer] {
    auto s = std::make_unique<CProxySocket>();
    EXPECT_TRUE(s->Initialize() && s->Open("127.0.0.1", peer.port()));
    return s;
  };
  ConnectionRoute a{"127.0.0.1", peer.port()};
  ConnectionRoute b = a;
  b.proxyType = ProxySocks5;
  b.proxyHost = "127.0.0.1";
  b.proxyPort = 1080;

  ConnectionCache cache(2);
  cache.Give(a, open());
  EXPECT_EQ(cache.Take(b), nullptr);  // a tunnel is another route
  std::unique_ptr<CProxySocket> first = cache.Take(a);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(cache.Take(a), nullptr);  // handed out once only

  cache.Give(a, std::move(first));
  cache.Give(b, open());
  cache.Give(a, open());  // over the bound: the longest idle goes
  EXPECT_EQ(cache.size(), 2u);
  EXPECT_NE(cache.Take(b), nullptr);
  EXPECT_NE(cache.Take(a), nullptr);
  EXPECT_EQ(cache.Take(a), nullptr);

  // Unasked bytes waiting on a kept connection make it unusable.
  std::unique_ptr<CProxySocket> s = open();
  s->KeepForNextReceive("HTTP/1.1 200 OK\r\n");
  cache.Give(a, std::move(s));
  EXPECT_EQ(cache.Take(a), nullptr);
  EXPECT_EQ(cache.size(), 0u);

  ConnectionCache expiring(4, 0);
  expiring.Give(a, open());
  EXPECT_EQ(expiring.Take(a), nullptr);
  EXPECT_EQ(expiring.size(), 0u);
}

}  // namespace
}  // namespace vexa
