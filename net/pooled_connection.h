#ifndef VEXA_NET_POOLED_CONNECTION_H_
#define VEXA_NET_POOLED_CONNECTION_H_

#include <cstdint>
#include <memory>
#include <string>

#include "net/connection_cache.h"
#include "net/http_client.h"
#include "net/proxy_socket.h"

namespace vexa {

// The connection of one exchange: one the client's cache kept for the same
// route when there is one, else a new one made with ConnectToServer. It is
// closed at the end unless Finish finds it fit for another request.
class PooledConnection {
 public:
  PooledConnection(const HttpClient& client, const RequestOptions& options);
  ~PooledConnection();
  PooledConnection(const PooledConnection&) = delete;
  PooledConnection& operator=(const PooledConnection&) = delete;

  // Connects to host:port, over TLS with `tls`. With `fresh`, or when the
  // client keeps no connections, a new connection is always made.
  bool Open(const std::string& host, int32_t port, bool fresh = false, bool tls = false);
  CProxySocket& socket() { return *socket_; }
  // Whether the connection carried an earlier exchange: a failure before any
  // byte of the answer may then only mean the peer closed it meanwhile.
  bool reused() const { return reused_; }
  // Ends the exchange: with `reusable` (the answer was whole and the peer keeps
  // the connection) it goes back to the cache, otherwise it is closed.
  void Finish(bool reusable);

 private:
  const HttpClient& client_;
  const RequestOptions& options_;
  ConnectionRoute route_;
  std::unique_ptr<CProxySocket> socket_;
  bool reused_ = false;
  bool cacheable_ = false;
};

// Whether a failed send or a first receive that got nothing is what a kept
// connection the peer closed meanwhile shows: worth sending again at once on a
// new one. Time-outs and stops are not.
bool LooksClosedByPeer(SocketStatus status);

}  // namespace vexa

#endif  // VEXA_NET_POOLED_CONNECTION_H_
