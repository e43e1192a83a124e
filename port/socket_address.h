#ifndef VEXA_PORT_SOCKET_ADDRESS_H_
#define VEXA_PORT_SOCKET_ADDRESS_H_

// Conversions between Endpoint and the IPv4 socket address, for the socket
// code of each platform. Include it after the platform's socket header, which
// declares sockaddr_in and the byte-order functions.

#include <cstring>

#include "port/socket.h"

namespace vexa::port::internal {

inline sockaddr_in ToSockaddr(const Endpoint& e) {
  sockaddr_in a;
  std::memset(&a, 0, sizeof(a));
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(e.address);
  a.sin_port = htons(e.port);
  return a;
}

inline Endpoint FromSockaddr(const sockaddr_in& a) {
  Endpoint e;
  e.address = ntohl(a.sin_addr.s_addr);
  e.port = ntohs(a.sin_port);
  return e;
}

}  // namespace vexa::port::internal

#endif  // VEXA_PORT_SOCKET_ADDRESS_H_
