#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <ws2tcpip.h>

#include <cstdio>
#include <vector>

#include "gtest/gtest.h"
#include "port/peer_owner.h"

namespace vexa::port {
namespace {

// The end a socket of an IPv4 connection has (its own, or the far one).
TcpEnd EndOf(SOCKET s, bool remote) {
  sockaddr_in a = {};
  int size = sizeof(a);
  const int r = remote ? ::getpeername(s, reinterpret_cast<sockaddr*>(&a), &size)
                       : ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &size);
  EXPECT_EQ(r, 0);
  return TcpEndOfV4(ntohl(a.sin_addr.s_addr), ntohs(a.sin_port));
}

// Whether the system's TCP table names the process of each connection
// (Wine's leaves it 0).
bool TableNamesOwners(const TcpEnd& end) {
  ULONG size = 0;
  ::GetExtendedTcpTable(nullptr, &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_CONNECTIONS, 0);
  std::vector<unsigned char> buffer(size + 4096);
  size = static_cast<ULONG>(buffer.size());
  if (::GetExtendedTcpTable(buffer.data(), &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_CONNECTIONS,
                            0) != NO_ERROR) {
    return false;
  }
  const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
  for (DWORD i = 0; i < table->dwNumEntries; ++i) {
    if (ntohs(static_cast<u_short>(table->table[i].dwLocalPort)) == end.port) {
      return table->table[i].dwOwningPid != 0;
    }
  }
  return false;
}

// A loopback connection made in this process: its far end is our own user's;
// an end no connection has is nobody's.
TEST(PeerOwnerWin32Test, AConnectionOfThisProcessIsOurOwnUsers) {
  WSADATA data;
  ASSERT_EQ(::WSAStartup(MAKEWORD(2, 2), &data), 0);
  SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_NE(listener, INVALID_SOCKET);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  int size = sizeof(a);
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &size), 0);
  SOCKET client = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
  SOCKET accepted = ::accept(listener, nullptr, nullptr);
  ASSERT_NE(accepted, INVALID_SOCKET);

  const TcpEnd local = EndOf(accepted, false), peer = EndOf(accepted, true);
  if (TableNamesOwners(peer)) {
    EXPECT_TRUE(TcpPeerIsCurrentUser(local, peer));
  } else {
    // Then no peer is anyone's, which refuses every connection.
    EXPECT_FALSE(TcpPeerIsCurrentUser(local, peer));
    std::printf("the TCP table names no owning processes here: only refusals were checked\n");
  }
  TcpEnd nobody = peer;
  nobody.port = static_cast<uint16_t>(peer.port == 65535 ? 1 : peer.port + 1);
  EXPECT_FALSE(TcpPeerIsCurrentUser(local, nobody));
  TcpEnd elsewhere = peer;
  elsewhere.address[15] = 2;  // 127.0.0.2
  EXPECT_FALSE(TcpPeerIsCurrentUser(local, elsewhere));

  ::closesocket(accepted);
  ::closesocket(client);
  ::closesocket(listener);
  ::WSACleanup();
}

}  // namespace
}  // namespace vexa::port
