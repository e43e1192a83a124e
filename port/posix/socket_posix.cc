#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "port/socket.h"
#include "port/socket_address.h"

namespace vexa::port {

namespace {

using internal::FromSockaddr;
using internal::ToSockaddr;

int PollFd(int fd, short events, int timeout_ms) {
  pollfd p;
  p.fd = fd;
  p.events = events;
  p.revents = 0;
  for (;;) {
    int r = ::poll(&p, 1, timeout_ms);
    if (r < 0 && errno == EINTR) continue;
    return r;
  }
}

class PosixSocketApi : public SocketApi {
 public:
  SocketHandle Create() override {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return s < 0 ? kInvalidSocket : s;
  }

  int Close(SocketHandle s) override { return ::close(s); }

  bool Resolve(const std::string& host, std::vector<uint32_t>* addresses) override {
    addresses->clear();
    addrinfo hints;
    std::memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    int r = ::getaddrinfo(host.c_str(), nullptr, &hints, &list);
    if (r != 0) {
      errno = (r == EAI_SYSTEM && errno != 0) ? errno : EHOSTUNREACH;
      return false;
    }
    for (addrinfo* p = list; p != nullptr; p = p->ai_next) {
      if (p->ai_family != AF_INET || p->ai_addrlen < sizeof(sockaddr_in)) continue;
      const auto* in = reinterpret_cast<const sockaddr_in*>(p->ai_addr);
      addresses->push_back(ntohl(in->sin_addr.s_addr));
    }
    ::freeaddrinfo(list);
    if (addresses->empty()) {
      errno = EHOSTUNREACH;
      return false;
    }
    return true;
  }

  int Connect(SocketHandle s, const Endpoint& to, int timeout_ms) override {
    int flags = ::fcntl(s, F_GETFL, 0);
    if (flags < 0 || ::fcntl(s, F_SETFL, flags | O_NONBLOCK) < 0) return -1;
    sockaddr_in a = ToSockaddr(to);
    int r = ::connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof(a));
    int err = 0;
    if (r < 0) {
      err = errno;
      if (timeout_ms == 0 && (err == EINPROGRESS || err == EINTR)) {
        ::fcntl(s, F_SETFL, flags);
        errno = EINPROGRESS;
        return -1;
      }
      if (err == EINPROGRESS || err == EINTR) {
        int p = PollFd(s, POLLOUT, timeout_ms);
        if (p == 0) {
          err = ETIMEDOUT;
        } else if (p < 0) {
          err = errno;
        } else {
          socklen_t len = sizeof(err);
          if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) < 0) err = errno;
        }
      }
    }
    ::fcntl(s, F_SETFL, flags);
    if (err != 0) {
      errno = err;
      return -1;
    }
    errno = 0;
    return 0;
  }

  long Send(SocketHandle s, const void* data, size_t length) override {
    return ::send(s, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
  }

  long Receive(SocketHandle s, void* buffer, size_t length, int flags) override {
    return ::recv(s, buffer, length, flags | MSG_DONTWAIT);
  }

  int Poll(SocketHandle s, bool want_read, bool want_write, int timeout_ms) override {
    short events = 0;
    if (want_read) events |= POLLIN;
    if (want_write) events |= POLLOUT;
    int r = PollFd(s, events, timeout_ms);
    return r > 0 ? 1 : r;
  }

  int Shutdown(SocketHandle s, bool both) override {
    return ::shutdown(s, both ? SHUT_RDWR : SHUT_WR);
  }

  int PendingError(SocketHandle s, int* err) override {
    socklen_t len = sizeof(*err);
    return ::getsockopt(s, SOL_SOCKET, SO_ERROR, err, &len);
  }

  int GetNoDelay(SocketHandle s, bool* on) override {
    int v = 0;
    socklen_t len = sizeof(v);
    int r = ::getsockopt(s, IPPROTO_TCP, TCP_NODELAY, &v, &len);
    if (r == 0) *on = v != 0;
    return r;
  }

  int SetNoDelay(SocketHandle s, bool on) override {
    int v = on ? 1 : 0;
    return ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &v, sizeof(v));
  }

  int LocalEndpoint(SocketHandle s, Endpoint* out) override {
    sockaddr_in a;
    socklen_t len = sizeof(a);
    int r = ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    if (r == 0) *out = FromSockaddr(a);
    return r;
  }

  int PeerEndpoint(SocketHandle s, Endpoint* out) override {
    sockaddr_in a;
    socklen_t len = sizeof(a);
    int r = ::getpeername(s, reinterpret_cast<sockaddr*>(&a), &len);
    if (r == 0) *out = FromSockaddr(a);
    return r;
  }

  SocketHandle Listen(uint16_t port, uint16_t* bound_port) override {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return kInvalidSocket;
    int one = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    Endpoint e;
    e.address = INADDR_LOOPBACK;
    e.port = port;
    sockaddr_in a = ToSockaddr(e);
    if (::bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) < 0 || ::listen(s, 64) < 0) {
      int err = errno;
      ::close(s);
      errno = err;
      return kInvalidSocket;
    }
    Endpoint local;
    if (bound_port != nullptr) {
      if (LocalEndpoint(s, &local) < 0) {
        int err = errno;
        ::close(s);
        errno = err;
        return kInvalidSocket;
      }
      *bound_port = local.port;
    }
    return s;
  }

  SocketHandle Accept(SocketHandle listener, int timeout_ms) override {
    int p = PollFd(listener, POLLIN, timeout_ms);
    if (p == 0) {
      errno = ETIMEDOUT;
      return kInvalidSocket;
    }
    if (p < 0) return kInvalidSocket;
    int s = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    return s < 0 ? kInvalidSocket : s;
  }
};

}  // namespace

SocketApi* DefaultSocketApi() {
  static PosixSocketApi* api = new PosixSocketApi();
  return api;
}

}  // namespace vexa::port
