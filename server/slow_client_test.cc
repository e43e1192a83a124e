// Slow, idle and oversized clients against the running service.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "server/testing/service_fixture.h"

namespace vexa::server {
namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Everything the peer sends until it closes or `timeout_s` passes.
std::string ReadAll(int fd, double timeout_s) {
  std::string got;
  auto start = Clock::now();
  for (;;) {
    int left = static_cast<int>((timeout_s - SecondsSince(start)) * 1000);
    pollfd p{fd, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, left) <= 0) return got;
    char buf[4096];
    ssize_t n = recv(fd, buf, sizeof(buf), 0);
    if (n <= 0) return got;
    got.append(buf, static_cast<size_t>(n));
  }
}

class SlowClientTest : public ServiceTest {};

TEST_F(SlowClientTest, SlowAndIdleClientsDoNotHoldUpALoginAndAnUpload) {
  // Kept connections outlast the test.
  StartServer({"--keep-alive", "120"});
  // Each slow client sends its request one byte a second, which no read
  // time-out between bytes ends.
  const std::string request =
      "POST /app/clogin HTTP/1.1\r\nHost: x\r\nContent-Length: 1000\r\n\r\n";
  std::vector<int> slow;
  for (int i = 0; i < 50; ++i) {
    int fd = ConnectLoopback(server_->port());
    ASSERT_GE(fd, 0);
    slow.push_back(fd);
  }
  std::atomic<bool> done{false};
  std::thread trickle([&] {
    for (size_t sent = 0; !done && sent < request.size(); ++sent) {
      for (int fd : slow) send(fd, &request[sent], 1, MSG_NOSIGNAL);
      for (int i = 0; i < 10 && !done; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  struct Stop {
    std::atomic<bool>& done;
    std::thread& trickle;
    std::vector<int>& slow;
    ~Stop() {
      done = true;
      trickle.join();
      for (int fd : slow) close(fd);
    }
  } stop{done, trickle, slow};
  // 200 more have had one answer each and stay open, silent.
  std::vector<int> idle;
  struct CloseAll {
    std::vector<int>& fds;
    ~CloseAll() {
      for (int fd : fds) close(fd);
    }
  } close_idle{idle};
  const std::string ask = "GET /nothing HTTP/1.1\r\nHost: x\r\n\r\n";
  for (int i = 0; i < 200; ++i) {
    idle.push_back(ConnectLoopback(server_->port()));
    ASSERT_GE(idle.back(), 0);
    ASSERT_EQ(static_cast<ssize_t>(ask.size()),
              send(idle.back(), ask.data(), ask.size(), MSG_NOSIGNAL));
    const std::string answer = ReadAnswer(idle.back());
    ASSERT_EQ(0u, answer.rfind("HTTP/1.1 404 ", 0)) << answer;
    ASSERT_NE(std::string::npos, answer.find("\r\nKeep-Alive: ")) << answer;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));

  double slowest = 0;
  auto timed = [&](auto&& call) {
    auto start = Clock::now();
    call();
    slowest = std::max(slowest, SecondsSince(start));
  };
  auto start = Clock::now();
  timed([&] { ASSERT_TRUE(Login("alice", "alice-pw")["state"].asBool()); });
  const std::string content = RandomBytes(kChunk + 1000, 9);
  Upload u;
  timed([&] { u = Start(content, "busy.bin", "b"); });
  ASSERT_EQ(1, u.answer["status"].asInt()) << u.answer;
  uint64_t offset = 0;
  while (offset < content.size()) {
    Json::Value v;
    timed([&] { v = Range(u, offset, content.substr(offset, kChunk)); });
    ASSERT_EQ(0, v["statuscode"].asInt()) << v;
    offset = v["offset"].asUInt64();
  }
  const double total = SecondsSince(start);
  std::printf(
      "login + upload beside 50 slow and 200 idle clients: %.3f s in all, slowest answer %.3f s\n",
      total, slowest);
  EXPECT_EQ(Sha1(content), Exported("alice")["b/busy.bin"]);
  // A generous bound for a loaded machine; the figure itself is printed.
  EXPECT_LT(slowest, 3.0);
  // The idle connections were kept all along and still serve.
  for (int fd : idle) {
    ASSERT_EQ(static_cast<ssize_t>(ask.size()), send(fd, ask.data(), ask.size(), MSG_NOSIGNAL));
    ASSERT_EQ(0u, ReadAnswer(fd).rfind("HTTP/1.1 404 ", 0));
  }
}

TEST_F(SlowClientTest, ConnectionsBeyondThePoolAreAnsweredBusyAtOnceAndIdleOnesDropped) {
  StartServer({"--workers", "2", "--read-timeout", "2"});
  // Two connections hold the workers, two wait; the fifth finds no room.
  std::vector<int> idle;
  for (int i = 0; i < 4; ++i) {
    idle.push_back(ConnectLoopback(server_->port()));
    ASSERT_GE(idle.back(), 0);
    send(idle.back(), "GET /", 5, MSG_NOSIGNAL);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  int extra = ConnectLoopback(server_->port());
  ASSERT_GE(extra, 0);
  auto start = Clock::now();
  std::string answer = ReadAll(extra, 5);
  std::printf("busy answer after %.3f s\n", SecondsSince(start));
  EXPECT_EQ(0u, answer.rfind("HTTP/1.1 503 ", 0)) << answer;
  EXPECT_LT(SecondsSince(start), 3.0);
  close(extra);

  // A client silent for the read time-out loses its connection (to a 400 or
  // a plain close), which frees the workers for the ones waiting.
  start = Clock::now();
  for (int fd : idle) {
    std::string got = ReadAll(fd, 10);
    EXPECT_EQ(std::string::npos, got.find(" 200 ")) << got;
    close(fd);
  }
  const double freed = SecondsSince(start);
  std::printf("four silent clients dropped after %.3f s\n", freed);
  EXPECT_LT(freed, 8.0);
  EXPECT_TRUE(Login("alice", "alice-pw")["state"].asBool());
}

TEST_F(SlowClientTest, OversizedOrChunkedBodiesAreRefusedBeforeTheyAreRead) {
  StartServer();
  struct Case {
    const char* headers;
    const char* status;
  } cases[] = {
      {"Content-Length: 100000000\r\n", "HTTP/1.1 413 "},
      {"Content-Length: 99999999999999999999999\r\n", "HTTP/1.1 400 "},
      {"Transfer-Encoding: chunked\r\n", "HTTP/1.1 411 "},
  };
  for (const Case& c : cases) {
    int fd = ConnectLoopback(server_->port());
    ASSERT_GE(fd, 0);
    std::string head = std::string("POST /upload/2.0/bigupload HTTP/1.1\r\nHost: x\r\n") +
                       c.headers + "Content-Type: multipart/form-data; boundary=x\r\n\r\n";
    send(fd, head.data(), head.size(), MSG_NOSIGNAL);
    // No body follows: the answer must not wait for one.
    auto start = Clock::now();
    std::string answer = ReadAll(fd, 5);
    EXPECT_EQ(0u, answer.rfind(c.status, 0)) << c.headers << answer;
    EXPECT_NE(std::string::npos, answer.find("\"state\":false")) << answer;
    EXPECT_LT(SecondsSince(start), 3.0) << c.headers;
    close(fd);
  }
  // A body at the limit is still read and answered by the handler.
  auto r = Post("/app/clogin", std::string(1000, 'a'));
  ASSERT_TRUE(r);
  EXPECT_EQ(200, r->status);
}

}  // namespace
}  // namespace vexa::server
