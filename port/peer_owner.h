#ifndef VEXA_PORT_PEER_OWNER_H_
#define VEXA_PORT_PEER_OWNER_H_

// Which local user owns the other end of a loopback TCP connection, so a
// server on a loopback port can serve its own user only: any user of the
// machine can connect to a loopback port.

#include <array>
#include <cstdint>
#include <string_view>

namespace vexa::port {

// An IPv6 address (an IPv4 one in its mapped form ::ffff:a.b.c.d) and a port.
struct TcpEnd {
  std::array<uint8_t, 16> address{};
  uint16_t port = 0;
};

// The mapped form of an IPv4 address given in host byte order.
TcpEnd TcpEndOfV4(uint32_t address, uint16_t port);

// Whether the socket at the other end of an accepted connection (its own
// end `peer`, its far end our `local`) belongs to the user running this
// process. False for another user, and when the owner cannot be found (the
// peer already gone, no socket table to read): a caller refuses then.
bool TcpPeerIsCurrentUser(const TcpEnd& local, const TcpEnd& peer);

// The owner of that socket in one text of the kernel's socket table format
// ("sl local_address rem_address st tx:rx tr:when retr uid ..."), IPv4 or
// IPv6 rows. False when no row matches.
bool FindOwnerInSocketTable(std::string_view table, const TcpEnd& local, const TcpEnd& peer,
                            uint32_t* uid);

}  // namespace vexa::port

#endif  // VEXA_PORT_PEER_OWNER_H_
