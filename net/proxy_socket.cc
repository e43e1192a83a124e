#include "net/proxy_socket.h"

namespace vexa {

const char* ProxyTypeName(int32_t type) {
  switch (type) {
    case ProxyHttp:
      return "HTTP";
    case ProxyHttps:
      return "HTTPS";
    case ProxySocks4:
      return "SOCKS4";
    case ProxySocks5:
      return "SOCKS5";
    case ProxyUnknown:
      return "UNKNOWN";
    default:
      return "NONE";
  }
}

}  // namespace vexa
