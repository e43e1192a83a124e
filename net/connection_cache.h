#ifndef VEXA_NET_CONNECTION_CACHE_H_
#define VEXA_NET_CONNECTION_CACHE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "net/proxy_socket.h"
#include "port/mutex.h"

namespace vexa {

// Where a connection leads: its target and the proxy (tunnel) it goes through.
// Only a connection of the same route may carry a request.
struct ConnectionRoute {
  std::string host;
  int32_t port = 0;
  bool tls = false;  // a TLS connection never carries a plain request, nor the reverse
  int32_t proxyType = ProxyNone;
  std::string proxyHost;
  int32_t proxyPort = 0;
  std::string proxyUser;
  // The seam the connection's socket calls through (tests swap it).
  const port::SocketApi* api = nullptr;
  bool operator==(const ConnectionRoute&) const = default;
};

// Connections a peer kept open after a complete answer, waiting for the next
// request on their route. Bounded in number; a connection idle for longer
// than the idle limit, or that the peer closed meanwhile, is never handed
// out. Thread-safe: requests of several threads take and give back at once,
// each connection belonging to one request at a time.
class ConnectionCache {
 public:
  static constexpr size_t kDefaultCapacity = 8;
  static constexpr int kDefaultIdleLimitMs = 4000;

  explicit ConnectionCache(size_t capacity = kDefaultCapacity,
                           int idle_limit_ms = kDefaultIdleLimitMs)
      : capacity_(capacity), idle_limit_ms_(idle_limit_ms) {}
  ConnectionCache(const ConnectionCache&) = delete;
  ConnectionCache& operator=(const ConnectionCache&) = delete;

  // The most recently kept connection of `route` that is still usable, or
  // null. Expired and closed ones met on the way are closed.
  std::unique_ptr<CProxySocket> Take(const ConnectionRoute& route);
  // Keeps an open connection of `route`; the longest idle one is closed when
  // the cache is full.
  void Give(const ConnectionRoute& route, std::unique_ptr<CProxySocket> socket);
  // Closes every kept connection.
  void Clear();
  size_t size() const;

 private:
  struct Entry {
    ConnectionRoute route;
    std::unique_ptr<CProxySocket> socket;
    uint64_t keptAtMs = 0;
  };

  const size_t capacity_;
  const int idle_limit_ms_;
  mutable port::Mutex mu_;
  std::vector<Entry> idle_;  // guarded by mu_; oldest first
};

}  // namespace vexa

#endif  // VEXA_NET_CONNECTION_CACHE_H_
