#include "server/http_connection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "server/names.h"

namespace vexa::server {

namespace {

void SocketAddress(int sock, int (*get)(int, sockaddr*, socklen_t*), std::string* ip, int* port) {
  sockaddr_storage addr{};
  socklen_t len = sizeof(addr);
  ip->clear();
  *port = 0;
  if (get(sock, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return;
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

// Whether a comma-separated header value lists `token`, in any case.
bool ListsToken(std::string_view value, std::string_view token) {
  while (!value.empty()) {
    size_t comma = value.find(',');
    std::string_view item = value.substr(0, comma);
    while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) item.remove_prefix(1);
    while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.remove_suffix(1);
    if (item.size() == token.size() && strncasecmp(item.data(), token.data(), token.size()) == 0) {
      return true;
    }
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
  return false;
}

}  // namespace

HttpConnection::HttpConnection(int sock, int read_timeout_ms, int write_timeout_ms, SSL* tls)
    : sock_(sock),
      tls_(tls),
      read_timeout_ms_(read_timeout_ms),
      write_timeout_ms_(write_timeout_ms) {}

HttpConnection::~HttpConnection() {
  if (tls_ != nullptr) {
    // One try at close_notify, without waiting for room or an answer.
    if (handshaken_) SSL_shutdown(tls_);
    ERR_clear_error();
    SSL_free(tls_);
  }
  ::shutdown(sock_, SHUT_RDWR);
  ::close(sock_);
}

bool HttpConnection::is_readable() const { return HasBuffered() || Wait(POLLIN, read_timeout_ms_); }

bool HttpConnection::is_writable() const { return Wait(POLLOUT, write_timeout_ms_); }

ssize_t HttpConnection::read(char* ptr, size_t size) {
  if (begin_ == end_) {
    const ssize_t n = Receive();
    if (n <= 0) return n;
    begin_ = 0;
    end_ = static_cast<size_t>(n);
  }
  const size_t n = std::min(size, end_ - begin_);
  std::memcpy(ptr, buffer_.get() + begin_, n);
  begin_ += n;
  consumed_ += n;
  return static_cast<ssize_t>(n);
}

ssize_t HttpConnection::write(const char* ptr, size_t size) {
  const std::string_view bytes(ptr, size);
  // The answer's head is written whole in one call; an interim "100
  // Continue" is not the answer.
  if (!answered_ && bytes.size() > 12 && bytes.rfind("HTTP/1.", 0) == 0 &&
      bytes.substr(8, 3) != " 10") {
    answered_ = true;
    const size_t head_end = bytes.find("\r\n\r\n");
    keep_ =
        head_read_ && client_keeps_ && consumed_ == request_end_ &&
        head_end != std::string_view::npos &&
        bytes.substr(0, head_end + 2).find("\r\nConnection: close\r\n") == std::string_view::npos;
    if (!keep_ && head_end != std::string_view::npos) {
      std::string head(bytes.substr(0, head_end + 2));
      CloseInHead(&head);
      head.append(bytes.substr(head_end + 2));
      return SendAll(head.data(), head.size()) ? static_cast<ssize_t>(size) : -1;
    }
  }
  return SendAll(ptr, size) ? static_cast<ssize_t>(size) : -1;
}

void HttpConnection::get_remote_ip_and_port(std::string& ip, int& port) const {
  SocketAddress(sock_, ::getpeername, &ip, &port);
}

void HttpConnection::get_local_ip_and_port(std::string& ip, int& port) const {
  SocketAddress(sock_, ::getsockname, &ip, &port);
}

size_t HttpConnection::BeginRequest() {
  head_read_ = false;
  client_keeps_ = false;
  answered_ = false;
  keep_ = false;
  return ++requests_;
}

void HttpConnection::RequestHead(const httplib::Request& req) {
  head_read_ = true;
  client_keeps_ =
      req.version == "HTTP/1.1" && !ListsToken(req.get_header_value("Connection"), "close");
  // A body of unknown length cannot be told from the next request.
  uint64_t length = 0;
  if (req.has_header("Transfer-Encoding") ||
      (req.has_header("Content-Length") &&
       !ParseDecimal(req.get_header_value("Content-Length"), &length))) {
    client_keeps_ = false;
  }
  request_end_ = consumed_ + static_cast<size_t>(length);
}

bool HttpConnection::HasBuffered() const {
  // Received but not yet decrypted counts too: no new bytes may come for it.
  return begin_ < end_ || (tls_ != nullptr && SSL_has_pending(tls_) == 1);
}

template <typename Op>
int HttpConnection::RunTls(Op op, int timeout_ms) {
  for (;;) {
    const int r = op();
    if (r > 0) return r;
    const int e = SSL_get_error(tls_, r);
    ERR_clear_error();
    if (e == SSL_ERROR_WANT_READ) {
      if (!Wait(POLLIN, timeout_ms)) return -1;
    } else if (e == SSL_ERROR_WANT_WRITE) {
      if (!Wait(POLLOUT, write_timeout_ms_)) return -1;
    } else {
      // The client's close_notify, its close without one, or a failure.
      return e == SSL_ERROR_ZERO_RETURN || (e == SSL_ERROR_SYSCALL && r == 0) ? 0 : -1;
    }
  }
}

void HttpConnection::ReleaseBuffer() {
  if (!HasBuffered()) {
    buffer_.reset();
    begin_ = end_ = 0;
  }
}

void HttpConnection::SendNow(const std::string& bytes) {
  // A TLS client has not even said hello yet: it only sees the close.
  if (tls_ != nullptr) return;
  ::send(sock_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

// Fills the buffer with what has arrived, waiting for it only when nothing
// has: one recv for every piece the client sent meanwhile.
ssize_t HttpConnection::Receive() {
  if (!buffer_) buffer_ = std::make_unique<char[]>(kBufferBytes);
  if (tls_ != nullptr) {
    if (!handshaken_) {
      if (RunTls([this] { return SSL_do_handshake(tls_); }, read_timeout_ms_) <= 0) return -1;
      handshaken_ = true;
    }
    int n = RunTls([this] { return SSL_read(tls_, buffer_.get(), static_cast<int>(kBufferBytes)); },
                   read_timeout_ms_);
    // A read gives one record: the others already received fill the buffer
    // too, without a wait, so a body takes as few turns as on a plain
    // connection. What stops the loop (a record not yet complete, the end or
    // a failure) shows again at the next read.
    while (n > 0 && static_cast<size_t>(n) < kBufferBytes && SSL_has_pending(tls_) == 1) {
      const int more = SSL_read(tls_, buffer_.get() + n, static_cast<int>(kBufferBytes) - n);
      if (more <= 0) {
        ERR_clear_error();
        break;
      }
      n += more;
    }
    return n;
  }
  for (;;) {
    const ssize_t n = ::recv(sock_, buffer_.get(), kBufferBytes, MSG_DONTWAIT);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    if (!Wait(POLLIN, read_timeout_ms_)) return -1;
  }
}

bool HttpConnection::Wait(short events, int timeout_ms) const {
  pollfd p{sock_, events, 0};
  int n;
  do {
    n = ::poll(&p, 1, timeout_ms);
  } while (n < 0 && errno == EINTR);
  return n > 0 && (p.revents & (events | POLLHUP)) != 0;
}

bool HttpConnection::SendAll(const char* data, size_t size) {
  if (tls_ != nullptr) {
    // Only an answer to a request that was read, so the handshake is done.
    if (!handshaken_) return false;
    while (size > 0) {
      const int chunk = static_cast<int>(std::min<size_t>(size, 1 << 20));
      const int n = RunTls([&] { return SSL_write(tls_, data, chunk); }, write_timeout_ms_);
      if (n <= 0) return false;
      data += n;
      size -= static_cast<size_t>(n);
    }
    return true;
  }
  while (size > 0) {
    if (!is_writable()) return false;
    const ssize_t n = ::send(sock_, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

void HttpConnection::CloseInHead(std::string* head) {
  static constexpr std::string_view kKeepAlive = "\r\nKeep-Alive:";
  const size_t at = head->find(kKeepAlive);
  if (at != std::string::npos) head->erase(at, head->find("\r\n", at + 2) - at);
  if (head->find("\r\nConnection: close\r\n") != std::string::npos) return;
  // In the place the library would have put it: header lines sorted by name
  // regardless of case.
  size_t line = head->find("\r\n") + 2;
  while (line < head->size()) {
    const size_t colon = head->find(':', line);
    const std::string_view name(head->data() + line, colon == std::string::npos ? 0 : colon - line);
    const size_t common = std::min<size_t>(name.size(), 10);
    const int order = strncasecmp(name.data(), "Connection", common);
    if (order > 0 || (order == 0 && name.size() > 10)) break;
    line = head->find("\r\n", line) + 2;
  }
  head->insert(line, "Connection: close\r\n");
}

}  // namespace vexa::server
