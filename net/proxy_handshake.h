#ifndef VEXA_NET_PROXY_HANDSHAKE_H_
#define VEXA_NET_PROXY_HANDSHAKE_H_

#include <cstdint>
#include <string>

#include "net/proxy_socket.h"

namespace vexa {

// Opens the socket to the proxy of its description and runs the handshake of
// the proxy's type towards host:port. True when the tunnel is ready for the
// request bytes. ProxyHttps and unnamed types fail once the proxy is open.
bool ConnectViaProxy(CProxySocket& socket, const std::string& host, uint16_t port);

// "CONNECT host:port HTTP/1.0" and an empty line. Reads the answer to the end
// of its head; a 200 status ("HTTP/1.0 200" or "HTTP/1.1 200", any letter
// case) is success, and bytes after the head are kept for the next receive.
bool HttpConnectHandshake(CProxySocket& socket, const std::string& host, uint16_t port);
// A SOCKS4a connect request naming the host, with the user id "TORMIX".
bool Socks4Handshake(CProxySocket& socket, const std::string& host, uint16_t port);
// SOCKS5 with no authentication or user name and password; the host goes as a
// dotted IPv4 address when it is one, else as a domain name.
bool Socks5Handshake(CProxySocket& socket, const std::string& host, uint16_t port);

// Reads a dotted-decimal IPv4 address ("a.b.c.d", each 0..255) into four
// bytes in network order. False for any other text.
bool ParseDottedIPv4(const std::string& text, uint8_t out[4]);

}  // namespace vexa

#endif  // VEXA_NET_PROXY_HANDSHAKE_H_
