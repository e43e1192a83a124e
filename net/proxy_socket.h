#ifndef VEXA_NET_PROXY_SOCKET_H_
#define VEXA_NET_PROXY_SOCKET_H_

#include <cstdint>
#include <string>

#include "net/active_socket.h"

namespace vexa {

// The kind of proxy a connection goes through.
enum ProxyType : int32_t {
  ProxyNone = 0,
  ProxyHttp = 1,     // HTTP CONNECT
  ProxyHttps = 2,    // no handshake: connecting through it fails
  ProxySocks4 = 3,   // SOCKS4a
  ProxySocks5 = 4,   // SOCKS5
  ProxyUnknown = 5,  // a plain host:port proxy, spoken to with HTTP CONNECT
};

// "HTTP", "HTTPS", "SOCKS4", "SOCKS5", "UNKNOWN"; "NONE" for any other value.
const char* ProxyTypeName(int32_t type);

// A connecting socket with the description of the proxy it goes through,
// filled by proxy detection and read by the handshakes.
class CProxySocket : public CActiveSocket {
 public:
  explicit CProxySocket(port::SocketApi* api = port::DefaultSocketApi()) : CActiveSocket(api) {}

  int32_t proxyType = ProxyNone;
  std::string proxyHost;
  int32_t proxyPort = 0;  // used as a 16-bit port
  std::string proxyUser;
  std::string proxyPassword;
};

}  // namespace vexa

#endif  // VEXA_NET_PROXY_SOCKET_H_
