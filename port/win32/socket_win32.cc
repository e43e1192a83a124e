#include <winsock2.h>
#include <ws2tcpip.h>

#include <cerrno>
#include <cstring>

#include "port/socket.h"
#include "port/socket_address.h"
#include "port/winsock_errors.h"

namespace vexa::port {
namespace {

using internal::FromSockaddr;
using internal::ToSockaddr;

// Callers read socket failures from errno, as on POSIX: the Winsock codes are
// turned into the errno values the one table in port/socket.cc maps.
int ErrnoOfWsa(int wsa) { return ErrnoOfWinsockError(wsa); }

// -1 with errno set from the last Winsock error.
int FailWsa() {
  errno = ErrnoOfWsa(::WSAGetLastError());
  return -1;
}

SOCKET Native(SocketHandle s) { return static_cast<SOCKET>(static_cast<unsigned>(s)); }
SocketHandle Handle(SOCKET s) {
  return s == INVALID_SOCKET ? kInvalidSocket : static_cast<SocketHandle>(s);
}
static_assert(sizeof(SOCKET) == sizeof(SocketHandle), "socket handles fit the portable handle");

// Sockets stay non-blocking for their whole life (Winsock has no per-call
// MSG_DONTWAIT); every wait is a select with a time-out.
bool SetNonBlocking(SOCKET s) {
  u_long on = 1;
  return ::ioctlsocket(s, FIONBIO, &on) == 0;
}

// 1 ready, 0 time-out, -1 failure. A failed connect shows in the exception set.
int Select(SOCKET s, bool want_read, bool want_write, int timeout_ms) {
  fd_set r, w, x;
  FD_ZERO(&r);
  FD_ZERO(&w);
  FD_ZERO(&x);
  if (want_read) FD_SET(s, &r);
  if (want_write) FD_SET(s, &w);
  FD_SET(s, &x);
  timeval tv;
  tv.tv_sec = timeout_ms / 1000;
  tv.tv_usec = (timeout_ms % 1000) * 1000;
  const int n = ::select(0, &r, &w, &x, timeout_ms < 0 ? nullptr : &tv);
  if (n == SOCKET_ERROR) return FailWsa();
  return n > 0 ? 1 : 0;
}

class WinsockApi : public SocketApi {
 public:
  WinsockApi() {
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
  }

  SocketHandle Create() override {
    SOCKET s =
        ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) {
      FailWsa();
      return kInvalidSocket;
    }
    if (!SetNonBlocking(s)) {
      FailWsa();
      ::closesocket(s);
      return kInvalidSocket;
    }
    return Handle(s);
  }

  int Close(SocketHandle s) override { return ::closesocket(Native(s)) == 0 ? 0 : FailWsa(); }

  bool Resolve(const std::string& host, std::vector<uint32_t>* addresses) override {
    addresses->clear();
    addrinfo hints;
    std::memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    // getaddrinfo answers with Winsock codes: a name without an address
    // (WSANO_DATA) is told apart from an unknown one.
    if (const int r = ::getaddrinfo(host.c_str(), nullptr, &hints, &list); r != 0) {
      errno = ErrnoOfWsa(r);
      return false;
    }
    for (addrinfo* p = list; p != nullptr; p = p->ai_next) {
      if (p->ai_family != AF_INET || p->ai_addrlen < sizeof(sockaddr_in)) continue;
      addresses->push_back(
          ntohl(reinterpret_cast<const sockaddr_in*>(p->ai_addr)->sin_addr.s_addr));
    }
    ::freeaddrinfo(list);
    if (addresses->empty()) {
      errno = EHOSTUNREACH;
      return false;
    }
    return true;
  }

  int Connect(SocketHandle s, const Endpoint& to, int timeout_ms) override {
    const sockaddr_in a = ToSockaddr(to);
    if (::connect(Native(s), reinterpret_cast<const sockaddr*>(&a), sizeof(a)) == 0) {
      errno = 0;
      return 0;
    }
    const int wsa = ::WSAGetLastError();
    if (wsa != WSAEWOULDBLOCK && wsa != WSAEINPROGRESS) {
      errno = ErrnoOfWsa(wsa);
      return -1;
    }
    if (timeout_ms == 0) {
      errno = EINPROGRESS;
      return -1;
    }
    const int p = Select(Native(s), false, true, timeout_ms);
    if (p < 0) return -1;
    if (p == 0) {
      errno = ETIMEDOUT;
      return -1;
    }
    int err = 0;
    if (PendingError(s, &err) < 0) return -1;
    errno = err;
    return err == 0 ? 0 : -1;
  }

  long Send(SocketHandle s, const void* data, size_t length) override {
    const int n = ::send(Native(s), static_cast<const char*>(data), static_cast<int>(length), 0);
    return n == SOCKET_ERROR ? FailWsa() : n;
  }

  long Receive(SocketHandle s, void* buffer, size_t length, int flags) override {
    const int n = ::recv(Native(s), static_cast<char*>(buffer), static_cast<int>(length), flags);
    return n == SOCKET_ERROR ? FailWsa() : n;
  }

  int Poll(SocketHandle s, bool want_read, bool want_write, int timeout_ms) override {
    return Select(Native(s), want_read, want_write, timeout_ms);
  }

  int Shutdown(SocketHandle s, bool both) override {
    return ::shutdown(Native(s), both ? SD_BOTH : SD_SEND) == 0 ? 0 : FailWsa();
  }

  // The pending error, as an errno value like every other failure here.
  int PendingError(SocketHandle s, int* err) override {
    int wsa = 0;
    int len = sizeof(wsa);
    if (::getsockopt(Native(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&wsa), &len) != 0)
      return FailWsa();
    *err = ErrnoOfWsa(wsa);
    return 0;
  }

  int GetNoDelay(SocketHandle s, bool* on) override {
    BOOL v = FALSE;
    int len = sizeof(v);
    if (::getsockopt(Native(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&v), &len) != 0) {
      return FailWsa();
    }
    *on = v != FALSE;
    return 0;
  }

  int SetNoDelay(SocketHandle s, bool on) override {
    BOOL v = on ? TRUE : FALSE;
    return ::setsockopt(Native(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&v),
                        sizeof(v)) == 0
               ? 0
               : FailWsa();
  }

  int LocalEndpoint(SocketHandle s, Endpoint* out) override {
    sockaddr_in a;
    int len = sizeof(a);
    if (::getsockname(Native(s), reinterpret_cast<sockaddr*>(&a), &len) != 0) return FailWsa();
    *out = FromSockaddr(a);
    return 0;
  }

  int PeerEndpoint(SocketHandle s, Endpoint* out) override {
    sockaddr_in a;
    int len = sizeof(a);
    if (::getpeername(Native(s), reinterpret_cast<sockaddr*>(&a), &len) != 0) return FailWsa();
    *out = FromSockaddr(a);
    return 0;
  }

  SocketHandle Listen(uint16_t port, uint16_t* bound_port) override {
    SocketHandle s = Create();
    if (s == kInvalidSocket) return kInvalidSocket;
    // Windows lets a second socket take a port in use with SO_REUSEADDR; this
    // one must have it alone.
    BOOL one = TRUE;
    ::setsockopt(Native(s), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one),
                 sizeof(one));
    Endpoint e;
    e.address = INADDR_LOOPBACK;
    e.port = port;
    const sockaddr_in a = ToSockaddr(e);
    Endpoint local;
    if (::bind(Native(s), reinterpret_cast<const sockaddr*>(&a), sizeof(a)) != 0 ||
        ::listen(Native(s), 64) != 0 || LocalEndpoint(s, &local) != 0) {
      FailWsa();
      const int err = errno;
      ::closesocket(Native(s));
      errno = err;
      return kInvalidSocket;
    }
    if (bound_port != nullptr) *bound_port = local.port;
    return s;
  }

  SocketHandle Accept(SocketHandle listener, int timeout_ms) override {
    const int p = Select(Native(listener), true, false, timeout_ms);
    if (p == 0) errno = ETIMEDOUT;
    if (p <= 0) return kInvalidSocket;
    SOCKET s = ::accept(Native(listener), nullptr, nullptr);
    if (s == INVALID_SOCKET) {
      FailWsa();
      return kInvalidSocket;
    }
    // An accepted socket inherits the listener's non-blocking mode.
    return Handle(s);
  }
};

}  // namespace

SocketApi* DefaultSocketApi() {
  static WinsockApi* api = new WinsockApi();
  return api;
}

}  // namespace vexa::port
