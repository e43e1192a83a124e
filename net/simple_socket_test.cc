#include "net/simple_socket.h"

#include <atomic>
#include <cstdio>
#include <string>

#include "gtest/gtest.h"
#include "net/active_socket.h"
#include "net/proxy_socket.h"
#include "net/testing/scripted_peer.h"
#include "port/clock.h"

namespace vexa {
namespace {

// Counts the calls that reach the system and can cut sends short.
class CountingApi : public port::SocketApiWrapper {
 public:
  CountingApi() : SocketApiWrapper(port::DefaultSocketApi()) {}
  bool Resolve(const std::string& host, std::vector<uint32_t>* a) override {
    ++calls;
    return target()->Resolve(host, a);
  }
  int Connect(port::SocketHandle s, const port::Endpoint& to, int timeout_ms) override {
    ++calls;
    return target()->Connect(s, to, timeout_ms);
  }
  long Send(port::SocketHandle s, const void* data, size_t length) override {
    ++sends;
    if (max_send > 0 && length > max_send) length = max_send;
    return target()->Send(s, data, length);
  }
  int Close(port::SocketHandle s) override {
    ++closes;
    return target()->Close(s);
  }
  std::atomic<int> calls{0};
  std::atomic<int> sends{0};
  std::atomic<int> closes{0};
  size_t max_send = 0;
};

TEST(SimpleSocketTest, OpenRefusesBadArgumentsBeforeAnyCall) {
  CountingApi api;
  CActiveSocket fresh(&api);
  EXPECT_EQ(fresh.last_status(), SocketStatus::InvalidSocket);
  EXPECT_FALSE(fresh.Open("127.0.0.1", 80));
  EXPECT_EQ(fresh.last_status(), SocketStatus::InvalidSocket);

  CActiveSocket s(&api);
  ASSERT_TRUE(s.Initialize());
  EXPECT_FALSE(s.Open(static_cast<const char*>(nullptr), 80));
  EXPECT_EQ(s.last_status(), SocketStatus::InvalidAddress);
  EXPECT_FALSE(s.Open("127.0.0.1", 0));
  EXPECT_EQ(s.last_status(), SocketStatus::InvalidPort);
  EXPECT_EQ(api.calls, 0);

  EXPECT_FALSE(s.Open("no-such-host.invalid", 80));
  EXPECT_EQ(s.last_status(), SocketStatus::InvalidAddress);
}

TEST(SimpleSocketTest, ConnectRefusedIsMapped) {
  uint16_t port;
  {
    ScriptedPeer closed([](ScriptedPeer::Connection&) {});
    port = closed.port();
  }  // nothing listens there any more
  CActiveSocket s;
  ASSERT_TRUE(s.Initialize());
  EXPECT_FALSE(s.Open("127.0.0.1", port));
  EXPECT_EQ(s.last_status(), SocketStatus::ConnectionRefused);
}

// A connection that never completes, as to a host that drops every packet.
class BlackHoleApi : public port::SocketApiWrapper {
 public:
  BlackHoleApi() : SocketApiWrapper(port::DefaultSocketApi()) {}
  int Connect(port::SocketHandle, const port::Endpoint&, int) override {
    port::SetErrno(port::kErrInProgress);
    return -1;
  }
  int Poll(port::SocketHandle, bool, bool, int timeout_ms) override {
    port::SleepMs(timeout_ms < 0 || timeout_ms > 20 ? 20 : timeout_ms);
    return 0;
  }
};

TEST(SimpleSocketTest, ConnectTimesOutOrIsAborted) {
  BlackHoleApi api;
  CActiveSocket s(&api);
  s.SetTimeouts(250, 1000);
  ASSERT_TRUE(s.Initialize());
  uint64_t start = port::MonotonicMillis();
  EXPECT_FALSE(s.Open("127.0.0.1", 80));
  EXPECT_EQ(s.last_status(), SocketStatus::TimedOut);
  EXPECT_GE(port::MonotonicMillis() - start, 220u);  // clock granularity

  CActiveSocket t(&api);
  t.SetTimeouts(60000, 1000);
  ASSERT_TRUE(t.Initialize());
  start = port::MonotonicMillis();
  int checks = 0;
  t.SetAbortCheck([&] { return ++checks > 3; });
  EXPECT_FALSE(t.Open("127.0.0.1", 80));
  EXPECT_EQ(t.last_status(), SocketStatus::ConnectionAborted);
  EXPECT_LT(port::MonotonicMillis() - start, 5000u);
}

TEST(SimpleSocketTest, HandlesAreClosedExactlyOnce) {
  CountingApi api;
  { CSimpleSocket bare(&api); }
  EXPECT_EQ(api.closes, 0);
  {
    CSimpleSocket s(&api);
    ASSERT_TRUE(s.Initialize());
  }  // destroyed while still open
  EXPECT_EQ(api.closes, 1);
  {
    CProxySocket s(&api);
    ASSERT_TRUE(s.Initialize());
    ASSERT_TRUE(s.Initialize());  // a second handle replaces the first
    EXPECT_EQ(api.closes, 2);
    EXPECT_TRUE(s.Close());
  }
  EXPECT_EQ(api.closes, 3);
}

TEST(SimpleSocketTest, InvalidSocketSendsAndReceivesNothing) {
  CSimpleSocket s;
  EXPECT_EQ(s.Receive(100), 0);
  EXPECT_EQ(s.Send("abc", 3), 0);
  EXPECT_FALSE(s.Close());
  EXPECT_FALSE(s.Select(0, 1));
}

TEST(SimpleSocketTest, SendReceiveBufferReuseAndPeerClose) {
  ScriptedPeer peer([](ScriptedPeer::Connection& c) {
    c.ReadUntil("ping");
    c.Write("pong!");
    c.ReadUntil("again");
    c.Write("0123456789");
  });
  CActiveSocket s;
  ASSERT_TRUE(s.Initialize());
  ASSERT_TRUE(s.Open("127.0.0.1", peer.port()));
  EXPECT_EQ(s.server_address().port, peer.port());
  EXPECT_EQ(s.server_address().address, 0x7f000001u);

  EXPECT_EQ(s.Send(nullptr, 0), 0);
  EXPECT_EQ(s.last_status(), SocketStatus::Success);
  EXPECT_EQ(s.Send("ping", 4), 4);
  std::string got;
  while (got.size() < 5) {
    int32_t n = s.Receive(64);
    ASSERT_GT(n, 0);
    got.append(s.receive_buffer(), n);
  }
  EXPECT_EQ(got, "pong!");
  const char* first_buffer = s.receive_buffer();
  ASSERT_EQ(s.Send("again", 5), 5);
  got.clear();
  while (got.size() < 10) {
    int32_t n = s.Receive(64);
    ASSERT_GT(n, 0);
    EXPECT_EQ(s.receive_buffer(), first_buffer) << "same size must reuse the buffer";
    got.append(s.receive_buffer(), n);
  }
  EXPECT_EQ(got, "0123456789");
  // The peer closes after its script: an orderly close reads as 0 and the
  // handle stays valid until Close.
  EXPECT_EQ(s.Receive(32), 0);
  EXPECT_EQ(s.receive_buffer_size(), 32);
  EXPECT_TRUE(s.IsValid());
  EXPECT_TRUE(s.Close());
  EXPECT_FALSE(s.IsValid());
  EXPECT_EQ(s.receive_buffer(), nullptr);
  EXPECT_FALSE(s.Close());
}

TEST(SimpleSocketTest, PartialSendsAreLoopedUntilAllBytesAreTaken) {
  std::string payload(100000, 'x');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>('a' + i % 26);
  // Some 14000 sends: seconds where every socket call is slow (under Wine, on a loaded machine).
  ScriptedPeer peer([&](ScriptedPeer::Connection& c) { c.ReadAtLeast(payload.size(), 60000); });
  CountingApi api;
  api.max_send = 7;
  CActiveSocket s(&api);
  ASSERT_TRUE(s.Initialize());
  ASSERT_TRUE(s.Open("127.0.0.1", peer.port()));
  EXPECT_EQ(s.Send(payload.data(), payload.size()), static_cast<int32_t>(payload.size()));
  EXPECT_GT(api.sends, 1000);
  s.Close();
  for (int i = 0; i < 200 && peer.received().size() < payload.size(); ++i) port::SleepMs(10);
  EXPECT_EQ(peer.received(), payload);
}

TEST(SimpleSocketTest, SendToClosedPeerFailsWithoutKillingTheProcess) {
  ScriptedPeer peer([](ScriptedPeer::Connection&) {});  // closes at once
  CActiveSocket s;
  ASSERT_TRUE(s.Initialize());
  ASSERT_TRUE(s.Open("127.0.0.1", peer.port()));
  EXPECT_EQ(s.Receive(16), 0);
  std::string big(1 << 20, 'z');
  int32_t r = 0;
  for (int i = 0; i < 20 && r >= 0; ++i) r = s.Send(big.data(), big.size());
  EXPECT_EQ(r, -1);
  EXPECT_EQ(s.last_status(), SocketStatus::ConnectionReset);
}

TEST(SimpleSocketTest, ReceiveTimesOutAndFreesTheBuffer) {
  ScriptedPeer peer([](ScriptedPeer::Connection& c) { c.WaitForClientClose(); });
  CActiveSocket s;
  s.SetTimeouts(1000, 200);
  ASSERT_TRUE(s.Initialize());
  ASSERT_TRUE(s.Open("127.0.0.1", peer.port()));
  uint64_t start = port::MonotonicMillis();
  EXPECT_EQ(s.Receive(100), -1);
  uint64_t spent = port::MonotonicMillis() - start;
  EXPECT_EQ(s.last_status(), SocketStatus::TimedOut);
  EXPECT_EQ(s.receive_buffer(), nullptr);
  EXPECT_GE(spent, 150u);
  EXPECT_LT(spent, 3000u);
}

TEST(SimpleSocketTest, AbortCheckEndsAWaitEarly) {
  ScriptedPeer peer([](ScriptedPeer::Connection& c) { c.WaitForClientClose(); });
  CActiveSocket s;
  ASSERT_TRUE(s.Initialize());
  ASSERT_TRUE(s.Open("127.0.0.1", peer.port()));
  uint64_t start = port::MonotonicMillis();
  s.SetAbortCheck([&] { return port::MonotonicMillis() - start > 150; });
  EXPECT_EQ(s.Receive(100), -1);
  EXPECT_EQ(s.last_status(), SocketStatus::ConnectionAborted);
  EXPECT_LT(port::MonotonicMillis() - start, 2000u);
}

TEST(SimpleSocketTest, SelectFlushAndShutdownOnAConnectedSocket) {
  ScriptedPeer peer([](ScriptedPeer::Connection& c) { c.WaitForClientClose(); });
  CActiveSocket s;
  ASSERT_TRUE(s.Initialize());
  ASSERT_TRUE(s.Open("127.0.0.1", peer.port()));
  // A connected socket with room to send is writable at once.
  EXPECT_TRUE(s.Select(0, 1));
  EXPECT_EQ(s.last_status(), SocketStatus::Success);
  EXPECT_TRUE(s.Flush());
  EXPECT_TRUE(s.Shutdown());
}

TEST(SimpleSocketTest, KeptBytesComeBeforeTheSocketsOwn) {
  ScriptedPeer peer([](ScriptedPeer::Connection& c) { c.Write("tail"); });
  CActiveSocket s;
  ASSERT_TRUE(s.Initialize());
  ASSERT_TRUE(s.Open("127.0.0.1", peer.port()));
  s.KeepForNextReceive("head-");
  std::string got;
  for (;;) {
    int32_t n = s.Receive(3);
    ASSERT_GE(n, 0);
    if (n == 0) break;
    got.append(s.receive_buffer(), n);
  }
  EXPECT_EQ(got, "head-tail");
}

TEST(SimpleSocketTest, SendFileRangeSendsTheRangeAndAdvancesTheOffset) {
  std::FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  std::string content(20000, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
  ASSERT_EQ(std::fwrite(content.data(), 1, content.size(), f), content.size());
  std::fflush(f);
  const size_t count = 8192 + 8192 + 5;
  ScriptedPeer peer([&](ScriptedPeer::Connection& c) { c.ReadAtLeast(count); });
  CActiveSocket s;
  ASSERT_TRUE(s.Initialize());
  ASSERT_TRUE(s.Open("127.0.0.1", peer.port()));
  uint64_t offset = 1000;
  EXPECT_EQ(s.SendFileRange(f, &offset, count), static_cast<int64_t>(count));
  EXPECT_EQ(offset, 1000 + count);
  // Past the end of the file: a short read fails and the offset stays.
  uint64_t late = 19990;
  EXPECT_EQ(s.SendFileRange(f, &late, 100), -1);
  EXPECT_EQ(late, 19990u);
  s.Close();
  std::fclose(f);
  for (int i = 0; i < 200 && peer.received().size() < count; ++i) port::SleepMs(10);
  EXPECT_EQ(peer.received().substr(0, count), content.substr(1000, count));
}

TEST(SimpleSocketTest, SendVectorSendsPiecesInOrder) {
  ScriptedPeer peer([](ScriptedPeer::Connection& c) { c.ReadUntil("C"); });
  CActiveSocket s;
  ASSERT_TRUE(s.Initialize());
  ASSERT_TRUE(s.Open("127.0.0.1", peer.port()));
  SendItem items[] = {{"AA", 2}, {nullptr, 0}, {"BBB", 3}, {"C", 1}};
  EXPECT_EQ(s.SendVector(items, 4), 6);
  s.Close();
  for (int i = 0; i < 200 && peer.received().size() < 6; ++i) port::SleepMs(10);
  EXPECT_EQ(peer.received(), "AABBBC");
}

TEST(SocketStatusTest, ErrnoMapping) {
  EXPECT_EQ(port::MapSocketErrno(0), SocketStatus::Success);
  EXPECT_EQ(port::MapSocketErrno(port::kErrTimedOut), SocketStatus::TimedOut);
  EXPECT_EQ(port::MapSocketErrno(port::kErrConnectionRefused), SocketStatus::ConnectionRefused);
  EXPECT_EQ(port::MapSocketErrno(port::kErrConnectionReset), SocketStatus::ConnectionReset);
  EXPECT_EQ(port::MapSocketErrno(port::kErrBrokenPipe), SocketStatus::ConnectionReset);
  EXPECT_EQ(port::MapSocketErrno(port::kErrWouldBlock), SocketStatus::WouldBlock);
  EXPECT_EQ(port::MapSocketErrno(port::kErrInterrupted), SocketStatus::Interrupted);
  EXPECT_EQ(port::MapSocketErrno(port::kErrConnectionAborted), SocketStatus::ConnectionAborted);
  EXPECT_EQ(port::MapSocketErrno(port::kErrHostUnreachable), SocketStatus::OtherError);
  EXPECT_EQ(static_cast<int>(SocketStatus::ConnectionReset), 14);
  EXPECT_EQ(static_cast<int>(SocketStatus::OtherError), 17);
}

}  // namespace
}  // namespace vexa
