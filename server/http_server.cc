#include "server/http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "server/worker_pool.h"

namespace vexa::server {

namespace {

// A connected socket whose reads and writes give up after a time-out with
// nothing moving. Reads go through a buffer: the HTTP library reads a
// request's head one byte at a time and its body in 4 KiB pieces, which
// would otherwise cost a poll and a recv each.
class SocketStream : public httplib::Stream {
 public:
  SocketStream(int sock, int read_timeout_ms, int write_timeout_ms)
      : sock_(sock), read_timeout_ms_(read_timeout_ms), write_timeout_ms_(write_timeout_ms) {}

  bool is_readable() const override { return begin_ < end_ || Wait(POLLIN, read_timeout_ms_); }
  bool is_writable() const override { return Wait(POLLOUT, write_timeout_ms_); }

  ssize_t read(char* ptr, size_t size) override {
    if (begin_ == end_) {
      const ssize_t n = Receive();
      if (n <= 0) return n;
      begin_ = 0;
      end_ = static_cast<size_t>(n);
    }
    const size_t n = std::min(size, end_ - begin_);
    std::memcpy(ptr, buffer_ + begin_, n);
    begin_ += n;
    return static_cast<ssize_t>(n);
  }
  ssize_t write(const char* ptr, size_t size) override {
    if (!is_writable()) return -1;
    ssize_t n;
    do {
      n = ::send(sock_, ptr, size, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n;
  }
  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    Address(::getpeername, &ip, &port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    Address(::getsockname, &ip, &port);
  }
  socket_t socket() const override { return sock_; }

 private:
  // Fills the buffer with what has arrived, waiting for it only when nothing
  // has: one recv for every piece the client sent meanwhile.
  ssize_t Receive() {
    for (;;) {
      const ssize_t n = ::recv(sock_, buffer_, sizeof(buffer_), MSG_DONTWAIT);
      if (n >= 0) return n;
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
      if (!Wait(POLLIN, read_timeout_ms_)) return -1;
    }
  }

  bool Wait(short events, int timeout_ms) const {
    pollfd p{sock_, events, 0};
    int n;
    do {
      n = ::poll(&p, 1, timeout_ms);
    } while (n < 0 && errno == EINTR);
    return n > 0 && (p.revents & (events | POLLHUP)) != 0;
  }

  void Address(int (*get)(int, sockaddr*, socklen_t*), std::string* ip, int* port) const {
    sockaddr_storage addr{};
    socklen_t len = sizeof(addr);
    ip->clear();
    *port = 0;
    if (get(sock_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return;
    char text[INET6_ADDRSTRLEN] = "";
    if (addr.ss_family == AF_INET) {
      auto* a = reinterpret_cast<sockaddr_in*>(&addr);
      inet_ntop(AF_INET, &a->sin_addr, text, sizeof(text));
      *port = ntohs(a->sin_port);
    } else if (addr.ss_family == AF_INET6) {
      auto* a = reinterpret_cast<sockaddr_in6*>(&addr);
      inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof(text));
      *port = ntohs(a->sin6_port);
    }
    *ip = text;
  }

  const int sock_;
  const int read_timeout_ms_;
  const int write_timeout_ms_;
  char buffer_[64 * 1024];
  size_t begin_ = 0;  // buffer_[begin_, end_) is received and not yet read
  size_t end_ = 0;
};

thread_local std::chrono::steady_clock::time_point connection_start;

// What an overflowing connection gets, in the shape of the service's other
// HTTP errors.
const std::string& BusyAnswer() {
  static const std::string answer = [] {
    const std::string body = "{\"error\":\"HTTP status 503\",\"state\":false}\n";
    return "HTTP/1.1 503 Service Unavailable\r\n"
           "Content-Type: application/json; charset=utf-8\r\n"
           "Content-Length: " +
           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
  }();
  return answer;
}

}  // namespace

HttpServer::HttpServer(size_t workers) {
  new_task_queue = [workers] { return new WorkerPool(workers, workers); };
}

std::chrono::steady_clock::time_point HttpServer::ConnectionStart() { return connection_start; }

bool HttpServer::process_and_close_socket(socket_t sock) {
  connection_start = std::chrono::steady_clock::now();
  bool ok = false;
  if (WorkerPool::Overflowing()) {
    // Never blocks the accepting thread: the send buffer of a new socket
    // holds this easily, and what does not fit is not worth waiting for.
    const std::string& answer = BusyAnswer();
    ::send(sock, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  } else {
    // The answer's head and body go out as two writes; without this the
    // body would wait for the client to acknowledge the head.
    const int on = 1;
    ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    SocketStream stream(sock, static_cast<int>(read_timeout_sec_ * 1000 + read_timeout_usec_ / 1000),
                        static_cast<int>(write_timeout_sec_ * 1000 + write_timeout_usec_ / 1000));
    bool closed = false;
    ok = process_request(stream, true, closed, nullptr);
  }
  ::shutdown(sock, SHUT_RDWR);
  ::close(sock);
  return ok;
}

}  // namespace vexa::server
