#ifndef VEXA_NET_PROXY_CONFIG_H_
#define VEXA_NET_PROXY_CONFIG_H_

#include <string>
#include <string_view>

#include "net/proxy_socket.h"
#include "port/proxy_settings.h"

namespace vexa {

// Fills the socket's proxy description from a proxy string: "host:port" for
// every protocol, or a list "scheme=host:port;..." of which the first entry
// decides. Scheme "socks" gives ProxySocks4, "socks5" ProxySocks5, "http"
// ProxyHttp (each without regard to case), anything else ProxyUnknown. A port
// that is missing or not a number in 1..65535 is left 0, so connecting to the
// proxy fails. User and password become empty. Always true.
bool ParseProxyString(std::string_view text, CProxySocket& socket);

// Reads the current user's proxy setting for a connection to `target_host`
// (read anew at every call) into the socket's proxy description: kFound. kNone
// when there is none or the host is exempted from it; kUnusable when one is
// set that cannot be used, with the reason in `*problem` (if given).
port::ProxyLookup DetectSystemProxy(CProxySocket& socket,
                                    const std::string& target_host = std::string(),
                                    std::string* problem = nullptr);

}  // namespace vexa

#endif  // VEXA_NET_PROXY_CONFIG_H_
