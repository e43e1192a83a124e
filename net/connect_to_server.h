#ifndef VEXA_NET_CONNECT_TO_SERVER_H_
#define VEXA_NET_CONNECT_TO_SERVER_H_

#include <cstdint>
#include <string>

#include "net/proxy_socket.h"

namespace vexa {

class HttpClient;

// Connects an initialised socket to host:port, straight or, when the client
// uses the system proxy and the user has one for this host, through it. A
// failed proxy, or one set that cannot be used, never falls back to a direct
// connection. Writes the first steps
// of the self-test trace. A port outside 1..65535 fails with InvalidPort.
// With `tls`, the TLS handshake with `host` follows, inside the proxy's
// tunnel if there is one; a refused certificate or version is recorded with
// NoteSecurityRefusal and the socket is closed before anything is sent.
bool ConnectToServer(const HttpClient& client, CProxySocket& socket, const std::string& host,
                     int32_t port, bool tls = false);

}  // namespace vexa

#endif  // VEXA_NET_CONNECT_TO_SERVER_H_
