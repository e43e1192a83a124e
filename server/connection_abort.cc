#include "server/connection_abort.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace vexa::server {

namespace {

bool Matches(int fd, const std::string& remote_addr, int remote_port, int local_port) {
  sockaddr_storage local{}, peer{};
  socklen_t len = sizeof(local);
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) != 0) return false;
  len = sizeof(peer);
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0) return false;
  char text[INET6_ADDRSTRLEN] = {};
  int lport, pport;
  if (peer.ss_family == AF_INET) {
    auto* p = reinterpret_cast<sockaddr_in*>(&peer);
    inet_ntop(AF_INET, &p->sin_addr, text, sizeof(text));
    pport = ntohs(p->sin_port);
    lport = ntohs(reinterpret_cast<sockaddr_in*>(&local)->sin_port);
  } else if (peer.ss_family == AF_INET6) {
    auto* p = reinterpret_cast<sockaddr_in6*>(&peer);
    inet_ntop(AF_INET6, &p->sin6_addr, text, sizeof(text));
    pport = ntohs(p->sin6_port);
    lport = ntohs(reinterpret_cast<sockaddr_in6*>(&local)->sin6_port);
  } else {
    return false;
  }
  return pport == remote_port && lport == local_port && remote_addr == text;
}

}  // namespace

bool AbortConnection(const std::string& remote_addr, int remote_port, int local_port) {
  std::vector<int> fds;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] >= '0' && e->d_name[0] <= '9') fds.push_back(std::atoi(e->d_name));
    }
    closedir(d);
  }
  for (int fd : fds) {
    if (!Matches(fd, remote_addr, remote_port, local_port)) continue;
    // A zero linger makes the final close send a reset instead of a FIN;
    // shutting down now stops the server from answering on it.
    linger lg{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
    shutdown(fd, SHUT_RDWR);
    return true;
  }
  return false;
}

}  // namespace vexa::server
