#include "net/pooled_connection.h"

#include <utility>

#include "net/connect_to_server.h"
#include "net/proxy_config.h"

namespace vexa {

PooledConnection::PooledConnection(const HttpClient& client, const RequestOptions& options)
    : client_(client), options_(options) {}

PooledConnection::~PooledConnection() { Finish(false); }

bool PooledConnection::Open(const std::string& host, int32_t port, bool fresh, bool tls) {
  Finish(false);
  reused_ = false;
  // The self-test traces every step of a connection: it always makes one.
  cacheable_ = client_.connections != nullptr && !client_.consoleTrace;
  if (cacheable_) {
    route_ = ConnectionRoute();
    route_.host = host;
    route_.port = port;
    route_.tls = tls;
    route_.api = client_.socketApi;
    if (client_.useSystemProxy) {
      CProxySocket probe(client_.socketApi);
      const port::ProxyLookup found = DetectSystemProxy(probe, host);
      if (found == port::ProxyLookup::kUnusable) cacheable_ = false;
      if (found == port::ProxyLookup::kFound) {
        route_.proxyType = probe.proxyType;
        route_.proxyHost = probe.proxyHost;
        route_.proxyPort = probe.proxyPort;
        route_.proxyUser = probe.proxyUser;
      }
    }
  }
  if (cacheable_ && !fresh) {
    socket_ = client_.connections->Take(route_);
    if (socket_) {
      socket_->SetTimeouts(
          options_.connectTimeoutMs != 0 ? options_.connectTimeoutMs : client_.connectTimeoutMs,
          options_.idleTimeoutMs != 0 ? options_.idleTimeoutMs : client_.idleTimeoutMs);
      socket_->SetAbortCheck(options_.abortCheck);
      reused_ = true;
      return true;
    }
  }
  socket_ = client_.NewSocket(options_);
  return socket_->Initialize() && ConnectToServer(client_, *socket_, host, port, tls);
}

void PooledConnection::Finish(bool reusable) {
  if (!socket_) return;
  std::unique_ptr<CProxySocket> s = std::move(socket_);
  // The abort check belongs to this exchange's caller, who may be gone by the
  // time the connection serves another.
  s->SetAbortCheck(nullptr);
  if (reusable && cacheable_ && s->IsValid()) client_.connections->Give(route_, std::move(s));
}

bool LooksClosedByPeer(SocketStatus status) {
  return status == SocketStatus::Success || status == SocketStatus::ConnectionReset;
}

}  // namespace vexa
