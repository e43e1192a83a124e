#include <unistd.h>

#include <string>

#include "port/file.h"
#include "port/peer_owner.h"

namespace vexa::port {

bool TcpPeerIsCurrentUser(const TcpEnd& local, const TcpEnd& peer) {
  // A client's socket is in tcp6 when it is an IPv6 one, even for an IPv4
  // peer (as a mapped address), so both tables are searched.
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::string text;
    uint32_t uid = 0;
    if (ReadWholeFile(table, &text) && FindOwnerInSocketTable(text, local, peer, &uid)) {
      return uid == static_cast<uint32_t>(::getuid());
    }
  }
  return false;
}

}  // namespace vexa::port
