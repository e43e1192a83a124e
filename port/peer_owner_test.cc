#include "port/peer_owner.h"

#include <gtest/gtest.h>

namespace vexa::port {
namespace {

// Two rows of each table as the kernel prints them on a little-endian
// machine: the bridge's listening socket, a page's end and the bridge's end
// of one connection.
// clang-format off
constexpr char kTable4[] =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
    "   0: 0100007F:4682 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 1 1\n"
    "   1: 0100007F:D431 0100007F:4682 01 00000000:00000000 00:00000000 00000000  1000        0 2 1\n"
    "   2: 0100007F:4682 0100007F:D431 01 00000000:00000000 00:00000000 00000000     0        0 3 1\n";
constexpr char kTable6[] =
    "  sl  local_address                         remote_address                        st tx_queue rx_queue tr "
    "tm->when retrnsmt   uid  timeout inode\n"
    "   0: 0000000000000000FFFF00000100007F:D432 0000000000000000FFFF00000100007F:4682 01 00000000:00000000 "
    "00:00000000 00000000 65534        0 4 1\n"
    "   1: 00000000000000000000000001000000:D433 00000000000000000000000001000000:4683 01 00000000:00000000 "
    "00:00000000 00000000   42        0 5 1\n";
// clang-format on

TcpEnd V6Loopback(uint16_t port) {
  TcpEnd e;
  e.address[15] = 1;
  e.port = port;
  return e;
}

TEST(PeerOwnerTest, FindsTheOwnerOfTheConnectingSocket) {
  const TcpEnd bridge = TcpEndOfV4(0x7F000001, 0x4682);
  struct Case {
    const char* table;
    TcpEnd local, peer;
    bool found;
    uint32_t uid;
  } cases[] = {
      {kTable4, bridge, TcpEndOfV4(0x7F000001, 0xD431), true, 1000},
      // The bridge's own end of the same connection is not the peer's.
      {kTable4, TcpEndOfV4(0x7F000001, 0xD431), bridge, true, 0},
      {kTable4, bridge, TcpEndOfV4(0x7F000001, 0xD499), false, 0},
      {kTable4, bridge, TcpEndOfV4(0x7F000002, 0xD431), false, 0},
      // An IPv6 socket that connected to an IPv4 address.
      {kTable6, bridge, TcpEndOfV4(0x7F000001, 0xD432), true, 65534},
      {kTable6, V6Loopback(0x4683), V6Loopback(0xD433), true, 42},
      {kTable6, V6Loopback(0x4682), V6Loopback(0xD433), false, 0},
      {"garbage\n\n 0: zz:1 yy:2 01 a b c 7\n", bridge, TcpEndOfV4(0x7F000001, 0xD431), false, 0},
  };
  for (const Case& c : cases) {
    uint32_t uid = 12345;
    EXPECT_EQ(c.found, FindOwnerInSocketTable(c.table, c.local, c.peer, &uid)) << c.peer.port;
    if (c.found) EXPECT_EQ(c.uid, uid) << c.peer.port;
  }
}

}  // namespace
}  // namespace vexa::port
