#include <algorithm>
#include <cstdlib>
#include <string>

#include "gtest/gtest.h"
#include "net/active_socket.h"
#include "net/connection_cache.h"
#include "net/http_client.h"
#include "net/network_failure.h"
#include "net/testing/scripted_peer.h"
#include "net/testing/test_authority.h"
#include "net/testing/tls_peer.h"

namespace vexa {
namespace {

constexpr char kTlsRequest[] = "GET /space HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
constexpr char kTlsAnswer[] = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";

// The address the authority's good certificate names besides loopback's.
constexpr char kExtraAddress[] = "127.0.0.2";

// One authority for the whole binary: making certificates costs a few
// openssl runs. Destroyed at exit, which removes its folder.
const TestAuthority& TlsAuthority() {
  static const TestAuthority authority(kExtraAddress);
  static const bool named = setenv("VEXAUPLOAD_CA_FILE", authority.ca_file().c_str(), 1) == 0;
  (void)named;
  return authority;
}

std::string ReadAllTls(CSimpleSocket& s, size_t want) {
  std::string got;
  while (got.size() < want) {
    int32_t n = s.Receive(4096);
    if (n <= 0) break;
    got.append(s.receive_buffer(), static_cast<size_t>(n));
  }
  return got;
}

TEST(TlsSocketTest, RequestAndAnswerCrossEncryptedAndSessionsResume) {
  const TestAuthority& ca = TlsAuthority();
  ASSERT_TRUE(ca.ok()) << ca.error();
  TlsPeer peer({ca.cert(TestAuthority::kGood), ca.key(TestAuthority::kGood), kTlsAnswer});
  ASSERT_NE(peer.port(), 0) << peer.error();
  for (const char* host : {"127.0.0.1", "localhost", "127.0.0.1"}) {
    SCOPED_TRACE(host);
    CActiveSocket s;
    ASSERT_TRUE(s.Initialize());
    ASSERT_TRUE(s.Open(host, peer.port()));
    ASSERT_TRUE(s.StartTls(host, peer.port())) << s.tls_error_text();
    EXPECT_TRUE(s.IsTls());
    for (int round = 0; round < 2; ++round) {
      ASSERT_EQ(s.Send(kTlsRequest), static_cast<int32_t>(sizeof kTlsRequest - 1));
      EXPECT_EQ(ReadAllTls(s, sizeof kTlsAnswer - 1), kTlsAnswer);
    }
  }
  EXPECT_EQ(peer.handshakes(), 3);
  EXPECT_EQ(peer.received(), std::string(kTlsRequest) + kTlsRequest + kTlsRequest + kTlsRequest +
                                 kTlsRequest + kTlsRequest);
  // The third connection went to a server the client had a session of.
  EXPECT_GE(peer.resumed(), 1);
}

// A range goes out in small writes, whose records TLS sends in batches:
// everything held back leaves, in order, before the client waits for the
// answer, however the writes fall around a batch's end.
TEST(TlsSocketTest, SmallWritesArriveWholeAndInOrderBeforeTheAnswerIsAwaited) {
  const TestAuthority& ca = TlsAuthority();
  ASSERT_TRUE(ca.ok()) << ca.error();
  TlsPeer peer({ca.cert(TestAuthority::kGood), ca.key(TestAuthority::kGood), kTlsAnswer});
  ASSERT_NE(peer.port(), 0) << peer.error();
  std::string request = "GET /space HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Fill: ";
  for (int i = 0; request.size() < 600 * 1000; ++i) request += std::to_string(i) + ",";
  request += "\r\n\r\n";
  CActiveSocket s;
  ASSERT_TRUE(s.Initialize());
  ASSERT_TRUE(s.Open("127.0.0.1", peer.port()));
  ASSERT_TRUE(s.StartTls("127.0.0.1", peer.port())) << s.tls_error_text();
  for (size_t at = 0; at < request.size(); at += 8096) {
    const size_t piece = std::min<size_t>(8096, request.size() - at);
    ASSERT_EQ(static_cast<int32_t>(piece), s.Send(request.data() + at, piece));
  }
  EXPECT_EQ(ReadAllTls(s, sizeof kTlsAnswer - 1), kTlsAnswer);
  EXPECT_TRUE(peer.received() == request)
      << peer.received().size() << " of " << request.size() << " bytes";
}

// A kept-alive TLS connection carries the next request without a new
// handshake; a plain request to the same address never gets it.
TEST(TlsSocketTest, KeptConnectionsCarryTheNextRequestOfTheirScheme) {
  const TestAuthority& ca = TlsAuthority();
  ASSERT_TRUE(ca.ok()) << ca.error();
  TlsPeer peer({ca.cert(TestAuthority::kGood), ca.key(TestAuthority::kGood), kTlsAnswer});
  ASSERT_NE(peer.port(), 0) << peer.error();
  ConnectionCache cache;
  HttpClient client;
  client.useSystemProxy = false;
  client.connections = &cache;
  const std::string url = "https://127.0.0.1:" + std::to_string(peer.port()) + "/space";
  std::string body;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(client.Get(url, &body)) << LastNetworkFailure();
    EXPECT_EQ(body, "ok");
  }
  EXPECT_EQ(peer.connections(), 1);
  EXPECT_EQ(peer.handshakes(), 1);
  // A plain request to the same address does not take the kept TLS
  // connection (it would get "ok" there); it waits on a connection of its own,
  // which this one-at-a-time peer does not serve.
  RequestOptions brief;
  brief.idleTimeoutMs = 300;
  EXPECT_FALSE(
      client.Get("http://127.0.0.1:" + std::to_string(peer.port()) + "/space", brief, &body));
  EXPECT_EQ(body, "");
  EXPECT_EQ(cache.size(), 1u);
  cache.Clear();
}

// An authority made for another address (a benchmark's service inside a
// network namespace) names it as well; the certificate names no address
// beyond it. The name checked is the one given to StartTls, not the one
// connected to.
TEST(TlsSocketTest, GoodCertificateNamesTheAuthoritysExtraAddress) {
  const TestAuthority& ca = TlsAuthority();
  ASSERT_TRUE(ca.ok()) << ca.error();
  TlsPeer peer({ca.cert(TestAuthority::kGood), ca.key(TestAuthority::kGood), kTlsAnswer});
  ASSERT_NE(peer.port(), 0) << peer.error();
  for (const std::string name : {kExtraAddress, "127.0.0.3"}) {
    SCOPED_TRACE(name);
    const bool named = name == kExtraAddress;
    CActiveSocket s;
    ASSERT_TRUE(s.Initialize());
    ASSERT_TRUE(s.Open("127.0.0.1", peer.port()));
    EXPECT_EQ(s.StartTls(name, peer.port()), named) << s.tls_error_text();
    if (!named) {
      EXPECT_NE(s.tls_error_text().find("IP address mismatch"), std::string::npos);
    }
  }
  EXPECT_EQ(peer.handshakes(), 1);
}

// Every refusal names its reason, is told from a network failure, and lets no
// request byte reach the peer.
TEST(TlsSocketTest, RefusedPeersSendNothingAndSayWhy) {
  const TestAuthority& ca = TlsAuthority();
  ASSERT_TRUE(ca.ok()) << ca.error();
  struct Case {
    const char* cert;
    const char* host;
    bool tls10_only;
    port::TlsError error;
    const char* reason;
  } cases[] = {
      {TestAuthority::kSelfSigned, "127.0.0.1", false, port::TlsError::Certificate,
       "self-signed certificate"},
      {TestAuthority::kOtherName, "127.0.0.1", false, port::TlsError::Certificate,
       "IP address mismatch"},
      {TestAuthority::kOtherName, "localhost", false, port::TlsError::Certificate,
       "hostname mismatch"},
      {TestAuthority::kExpired, "127.0.0.1", false, port::TlsError::Certificate,
       "certificate has expired"},
      {TestAuthority::kGood, "127.0.0.1", true, port::TlsError::Protocol,
       "TLS handshake with 127.0.0.1 failed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.cert) + " " + c.host);
    TlsPeer peer({ca.cert(c.cert), ca.key(c.cert), kTlsAnswer, c.tls10_only});
    ASSERT_NE(peer.port(), 0) << peer.error();
    CActiveSocket s;
    ASSERT_TRUE(s.Initialize());
    ASSERT_TRUE(s.Open(c.host, peer.port()));
    EXPECT_FALSE(s.StartTls(c.host, peer.port()));
    EXPECT_FALSE(s.IsTls());
    EXPECT_EQ(s.tls_error(), c.error);
    EXPECT_NE(s.tls_error_text().find(c.reason), std::string::npos) << s.tls_error_text();
    if (c.error == port::TlsError::Certificate) {
      EXPECT_NE(s.tls_error_text().find(std::string("certificate of ") + c.host + " refused"),
                std::string::npos)
          << s.tls_error_text();
    }
    EXPECT_EQ(s.last_status(), SocketStatus::OtherError);
    EXPECT_EQ(s.Send(kTlsRequest), 0);  // plain bytes never go out after a refusal
    s.Close();
    EXPECT_EQ(peer.handshakes(), 0);
    EXPECT_EQ(peer.received(), "");
  }
}

// A peer that accepts the connection and never answers the handshake: the
// socket's abort check and idle time-out end the wait, as for plain reads,
// and the failure is the transport's, not a TLS verdict.
TEST(TlsSocketTest, SilentPeerEndsByAbortOrTimeout) {
  ASSERT_TRUE(TlsAuthority().ok());
  ScriptedPeer silent([](ScriptedPeer::Connection& c) { c.WaitForClientClose(); });
  ASSERT_NE(silent.port(), 0);
  for (bool abort : {true, false}) {
    SCOPED_TRACE(abort);
    CActiveSocket s;
    ASSERT_TRUE(s.Initialize());
    ASSERT_TRUE(s.Open("127.0.0.1", silent.port()));
    if (abort) {
      s.SetAbortCheck([] { return true; });
    } else {
      s.SetTimeouts(5000, 200);
    }
    EXPECT_FALSE(s.StartTls("127.0.0.1", silent.port()));
    EXPECT_EQ(s.last_status(), abort ? SocketStatus::ConnectionAborted : SocketStatus::TimedOut);
    EXPECT_EQ(s.tls_error(), port::TlsError::None);
    EXPECT_EQ(s.tls_error_text(), "");
  }
}

}  // namespace
}  // namespace vexa
