// Kept-alive connections of the HTTP layer, driven over raw sockets.

#include "server/http_server.h"

#include <openssl/bio.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "server/testing/service_fixture.h"

namespace vexa::server {
namespace {

struct Limits {
  size_t workers = 2;
  size_t max_idle = 64;
  int keep_alive_s = 30;
  size_t max_requests = 100;
  // Serves HTTPS with these PEM files when set.
  std::string tls_cert, tls_key;
};

// An HttpServer on a loopback port whose GET /NAME answers NAME, and whose
// POST refuses a body of more than 10 bytes before reading it.
class KeepAliveServer {
 public:
  explicit KeepAliveServer(const Limits& limits) : http_(limits.workers, limits.max_idle) {
    http_.set_keep_alive_timeout(limits.keep_alive_s);
    http_.set_keep_alive_max_count(limits.max_requests);
    http_.set_read_timeout(10, 0);
    http_.Get("/(\\w+)", [](const httplib::Request& q, httplib::Response& r) {
      r.set_content(q.matches[1].str(), "text/plain");
    });
    http_.Post("/sink", [](const httplib::Request& q, httplib::Response& r) {
      r.set_content(std::to_string(q.body.size()), "text/plain");
    });
    if (!limits.tls_cert.empty()) {
      std::string error;
      EXPECT_TRUE(http_.UseTls(limits.tls_cert, limits.tls_key, &error)) << error;
    }
    http_.set_pre_routing_handler([](const httplib::Request& q, httplib::Response& r) {
      if (std::atoi(q.get_header_value("Content-Length").c_str()) <= 10) {
        return httplib::Server::HandlerResponse::Unhandled;
      }
      r.status = 413;
      return httplib::Server::HandlerResponse::Handled;
    });
    port_ = http_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { http_.listen_after_bind(); });
  }
  ~KeepAliveServer() { Stop(); }

  void Stop() {
    http_.stop();
    if (thread_.joinable()) thread_.join();
  }

  int Connect() const { return ConnectLoopback(port_); }

 private:
  HttpServer http_;
  int port_ = 0;
  std::thread thread_;
};

// A raw client connection, closed on destruction.
struct Socket {
  explicit Socket(int fd) : fd(fd) {}
  ~Socket() {
    if (fd >= 0) close(fd);
  }
  bool Send(const std::string& bytes) const {
    return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }
  int fd;
};

std::string Get(const std::string& name, const std::string& extra = "",
                const std::string& version = "HTTP/1.1") {
  return "GET /" + name + " " + version + "\r\nHost: x\r\n" + extra + "\r\n";
}

std::string BodyOf(const std::string& answer) {
  const size_t at = answer.find("\r\n\r\n");
  return at == std::string::npos ? "" : answer.substr(at + 4);
}

bool SaysClose(const std::string& answer) {
  return answer.find("\r\nConnection: close\r\n") != std::string::npos &&
         answer.find("Keep-Alive") == std::string::npos;
}

TEST(KeepAliveTest, ServesRequestsInOrderOnOneConnectionAcrossIdlePauses) {
  KeepAliveServer server(Limits{});
  Socket c(server.Connect());
  ASSERT_GE(c.fd, 0);
  // Two requests in one send, then a third after the connection was parked.
  ASSERT_TRUE(c.Send(Get("first") + Get("second")));
  for (const char* name : {"first", "second"}) {
    const std::string answer = ReadAnswer(c.fd);
    EXPECT_EQ(0u, answer.rfind("HTTP/1.1 200 OK\r\n", 0)) << answer;
    EXPECT_EQ(name, BodyOf(answer));
    EXPECT_NE(std::string::npos, answer.find("\r\nKeep-Alive: timeout=30, max=100\r\n")) << answer;
    EXPECT_EQ(std::string::npos, answer.find("Connection: close")) << answer;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_TRUE(
      c.Send("POST /sink HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nabcde" + Get("third")));
  EXPECT_EQ("5", BodyOf(ReadAnswer(c.fd)));
  EXPECT_EQ("third", BodyOf(ReadAnswer(c.fd)));
}

TEST(KeepAliveTest, ClosesWhenTheRequestOrTheLimitsSaySo) {
  struct Case {
    const char* what;
    std::string requests;
    int answers;  // the last of them closes
  } cases[] = {
      {"Connection: close", Get("a", "Connection: close\r\n") + Get("b"), 1},
      {"close among other tokens", Get("a", "Connection: TE, Close\r\n"), 1},
      {"HTTP/1.0", Get("a", "", "HTTP/1.0"), 1},
      {"HTTP/1.0 asking to keep", Get("a", "Connection: Keep-Alive\r\n", "HTTP/1.0"), 1},
      {"a body refused unread",
       "POST /sink HTTP/1.1\r\nHost: x\r\nContent-Length: 11\r\n\r\n" + Get("hidden") + "xx", 1},
      {"a body of unknown length",
       "POST /sink HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n" +
           std::string("0\r\n\r\n") + Get("b"),
       1},
      {"a request that cannot be read", "GET\r\n\r\n" + Get("b"), 1},
      {"the third request of three allowed", Get("a") + Get("b") + Get("c") + Get("d"), 3},
  };
  Limits limits;
  limits.max_requests = 3;
  KeepAliveServer server(limits);
  for (const Case& t : cases) {
    SCOPED_TRACE(t.what);
    Socket c(server.Connect());
    ASSERT_GE(c.fd, 0);
    ASSERT_TRUE(c.Send(t.requests));
    for (int i = 1; i <= t.answers; ++i) {
      const std::string answer = ReadAnswer(c.fd);
      ASSERT_FALSE(answer.empty()) << i;
      EXPECT_EQ(i == t.answers, SaysClose(answer)) << answer;
      // Where the library puts it, as before connections were kept.
      if (i == t.answers) {
        EXPECT_NE(std::string::npos, answer.find("\r\nConnection: close\r\nContent-")) << answer;
      }
      EXPECT_EQ(std::string::npos, answer.find("hidden")) << answer;
    }
    EXPECT_TRUE(ClosedByPeer(c.fd));
  }
}

TEST(KeepAliveTest, AnIdleConnectionHoldsNoWorkerAndClosesAfterItsTimeOut) {
  Limits limits;
  limits.workers = 1;
  KeepAliveServer server(limits);
  Socket idle(server.Connect());
  ASSERT_TRUE(idle.Send(Get("idle")));
  ASSERT_EQ("idle", BodyOf(ReadAnswer(idle.fd)));
  // With the only worker waiting on the idle connection, these would go
  // unanswered for its 30 s.
  for (int i = 0; i < 3; ++i) {
    Socket other(server.Connect());
    ASSERT_TRUE(other.Send(Get("other")));
    EXPECT_EQ("other", BodyOf(ReadAnswer(other.fd)));
  }
  ASSERT_TRUE(idle.Send(Get("again")));
  EXPECT_EQ("again", BodyOf(ReadAnswer(idle.fd)));

  limits.keep_alive_s = 1;
  KeepAliveServer brief(limits);
  Socket c(brief.Connect());
  ASSERT_TRUE(c.Send(Get("a")));
  ASSERT_EQ("a", BodyOf(ReadAnswer(c.fd)));
  EXPECT_TRUE(ClosedByPeer(c.fd, 20000));
}

TEST(KeepAliveTest, AKeptConnectionFindingNoRoomIsAnsweredBusy) {
  Limits limits;
  limits.workers = 1;  // and one connection may wait
  KeepAliveServer server(limits);
  Socket kept(server.Connect());
  ASSERT_TRUE(kept.Send(Get("a")));
  ASSERT_EQ("a", BodyOf(ReadAnswer(kept.fd)));
  // One connection holds the worker, waiting for a body it asked for (so the
  // kept one is parked by then); one waits for the worker; a new one finds
  // the pool full.
  Socket holding(server.Connect());
  ASSERT_TRUE(holding.Send(
      "POST /sink HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\nExpect: 100-continue\r\n\r\n"));
  ASSERT_EQ(0u, ReadAnswer(holding.fd).rfind("HTTP/1.1 100 ", 0));
  Socket waiting(server.Connect());
  Socket probe(server.Connect());
  ASSERT_TRUE(probe.Send(Get("probe")));
  ASSERT_EQ(0u, ReadAnswer(probe.fd).rfind("HTTP/1.1 503 ", 0));
  ASSERT_TRUE(kept.Send(Get("b")));
  const std::string answer = ReadAnswer(kept.fd);
  EXPECT_EQ(0u, answer.rfind("HTTP/1.1 503 ", 0)) << answer;
  EXPECT_TRUE(SaysClose(answer)) << answer;
  EXPECT_TRUE(ClosedByPeer(kept.fd));
  // Both others are served once the body is sent.
  ASSERT_TRUE(holding.Send("abcde"));
  EXPECT_EQ("5", BodyOf(ReadAnswer(holding.fd)));
  ASSERT_TRUE(waiting.Send(Get("d")));
  EXPECT_EQ("d", BodyOf(ReadAnswer(waiting.fd)));
}

TEST(KeepAliveTest, TheOldestIdleConnectionGoesFirstAndStopClosesTheRest) {
  Limits limits;
  limits.workers = 1;  // the connections are parked in the order served
  limits.max_idle = 2;
  KeepAliveServer server(limits);
  std::vector<std::unique_ptr<Socket>> kept;
  for (const char* name : {"a", "b", "c"}) {
    kept.push_back(std::make_unique<Socket>(server.Connect()));
    ASSERT_TRUE(kept.back()->Send(Get(name)));
    ASSERT_EQ(name, BodyOf(ReadAnswer(kept.back()->fd)));
  }
  EXPECT_TRUE(ClosedByPeer(kept[0]->fd));
  ASSERT_TRUE(kept[2]->Send(Get("still")));
  EXPECT_EQ("still", BodyOf(ReadAnswer(kept[2]->fd)));
  server.Stop();
  EXPECT_TRUE(ClosedByPeer(kept[1]->fd));
  EXPECT_TRUE(ClosedByPeer(kept[2]->fd));
}

// Two requests sent as two TLS records in one segment: the service reads both
// records at once (read-ahead) but decrypts one per read. The second must be
// answered at once, not left undecrypted behind a socket with nothing more to
// read until the keep-alive time-out.
TEST(KeepAliveTest, PipelinedRequestsInSeparateTlsRecordsAreAnsweredInOrder) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("vexa-tls-keepalive-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string cert = (dir / "cert.pem").string(), key = (dir / "key.pem").string();
  ASSERT_EQ(
      0, std::system(
             ("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout " +
              key + " -out " + cert + " -days 1 -subj /CN=127.0.0.1 >/dev/null 2>&1")
                 .c_str()));
  Limits limits;
  limits.tls_cert = cert;
  limits.tls_key = key;
  KeepAliveServer server(limits);
  Socket c(server.Connect());
  ASSERT_GE(c.fd, 0);
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  SSL* ssl = SSL_new(ctx);
  SSL_set_fd(ssl, c.fd);
  ASSERT_EQ(1, SSL_connect(ssl));
  // Both records into memory first, then one send.
  BIO* held = BIO_new(BIO_s_mem());
  BIO_up_ref(held);
  SSL_set0_wbio(ssl, held);
  const std::string first = Get("first"), second = Get("second");
  ASSERT_EQ(static_cast<int>(first.size()),
            SSL_write(ssl, first.data(), static_cast<int>(first.size())));
  ASSERT_EQ(static_cast<int>(second.size()),
            SSL_write(ssl, second.data(), static_cast<int>(second.size())));
  char* records = nullptr;
  const long length = BIO_get_mem_data(held, &records);
  ASSERT_TRUE(c.Send(std::string(records, static_cast<size_t>(length))));
  std::string answers;
  char buffer[4096];
  while (answers.find("second") == std::string::npos) {
    const int n = SSL_read(ssl, buffer, sizeof buffer);
    if (n <= 0) break;
    answers.append(buffer, static_cast<size_t>(n));
  }
  const size_t at_first = answers.find("\r\n\r\nfirst");
  EXPECT_NE(std::string::npos, at_first) << answers;
  EXPECT_NE(std::string::npos, answers.find("\r\n\r\nsecond", at_first)) << answers;
  BIO_free(held);
  SSL_free(ssl);
  SSL_CTX_free(ctx);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace vexa::server
