#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <ws2tcpip.h>

#include <cstring>
#include <memory>
#include <vector>

#include "port/peer_owner.h"

namespace vexa::port {
namespace {

// The user SID of a process's token, as bytes; empty when it cannot be read.
std::vector<unsigned char> UserSidOf(HANDLE process) {
  std::vector<unsigned char> sid;
  HANDLE token = nullptr;
  if (!OpenProcessToken(process, TOKEN_QUERY, &token)) return sid;
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> buffer(size);
  if (size > 0 && GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
    PSID user = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
    if (IsValidSid(user)) {
      const unsigned char* p = static_cast<const unsigned char*>(user);
      sid.assign(p, p + GetLengthSid(user));
    }
  }
  CloseHandle(token);
  return sid;
}

// The process owning the IPv4 connection from `peer` to `local`; 0 when none.
DWORD OwnerPid(const TcpEnd& local, const TcpEnd& peer) {
  ULONG size = 0;
  GetExtendedTcpTable(nullptr, &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_CONNECTIONS, 0);
  std::vector<unsigned char> buffer(size + 4096);
  size = static_cast<ULONG>(buffer.size());
  if (GetExtendedTcpTable(buffer.data(), &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_CONNECTIONS,
                          0) != NO_ERROR) {
    return 0;
  }
  const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
  for (DWORD i = 0; i < table->dwNumEntries; ++i) {
    const MIB_TCPROW_OWNER_PID& row = table->table[i];
    TcpEnd own, remote;
    own.address[10] = own.address[11] = remote.address[10] = remote.address[11] = 0xFF;
    std::memcpy(&own.address[12], &row.dwLocalAddr, 4);
    std::memcpy(&remote.address[12], &row.dwRemoteAddr, 4);
    own.port = ntohs(static_cast<u_short>(row.dwLocalPort));
    remote.port = ntohs(static_cast<u_short>(row.dwRemotePort));
    if (own.address == peer.address && own.port == peer.port && remote.address == local.address &&
        remote.port == local.port) {
      return row.dwOwningPid;
    }
  }
  return 0;
}

}  // namespace

bool TcpPeerIsCurrentUser(const TcpEnd& local, const TcpEnd& peer) {
  const DWORD pid = OwnerPid(local, peer);
  if (pid == 0) return false;
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) return false;  // another user's process, or gone
  const std::vector<unsigned char> theirs = UserSidOf(process);
  CloseHandle(process);
  const std::vector<unsigned char> ours = UserSidOf(GetCurrentProcess());
  return !ours.empty() && theirs == ours;
}

}  // namespace vexa::port
