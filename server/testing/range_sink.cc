// range_sink: the least a durable upload service must do per request, as a
// reference peer for the range benchmark. It serves one connection at a
// time on a loopback port: reads the request head and its Content-Length
// body, appends the body to FILE, syncs the data (fdatasync), answers a small
// JSON text and closes. No parsing, hashing or metadata: what it reaches
// with a given client is the ceiling of any service on that machine.
//
// usage: range_sink FILE [--no-sync]; announces its port as vexa-server does.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool SendAll(int sock, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = send(sock, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// The value of header `name` in `head`, or "" (names compared without case).
std::string Header(const std::string& head, const char* name) {
  const size_t len = std::strlen(name);
  for (size_t line = head.find("\r\n"); line != std::string::npos;
       line = head.find("\r\n", line + 2)) {
    const size_t start = line + 2;
    if (head.size() - start > len && head[start + len] == ':' &&
        strncasecmp(head.c_str() + start, name, len) == 0) {
      size_t value = start + len + 1;
      while (value < head.size() && head[value] == ' ') ++value;
      return head.substr(value, head.find("\r\n", value) - value);
    }
  }
  return "";
}

// Serves one request; false on a broken connection or a failed write.
bool Serve(int sock, int fd, bool sync, std::vector<char>* buffer, off_t* offset) {
  std::string head;
  size_t end;
  char piece[4096];
  while ((end = head.find("\r\n\r\n")) == std::string::npos) {
    const ssize_t n = recv(sock, piece, sizeof(piece), 0);
    if (n <= 0) return false;
    head.append(piece, static_cast<size_t>(n));
  }
  const size_t length = std::strtoull(Header(head, "Content-Length").c_str(), nullptr, 10);
  if (strcasecmp(Header(head, "Expect").c_str(), "100-continue") == 0 &&
      !SendAll(sock, "HTTP/1.1 100 Continue\r\n\r\n")) {
    return false;
  }
  buffer->resize(length);
  size_t have = std::min(length, head.size() - end - 4);
  std::memcpy(buffer->data(), head.data() + end + 4, have);
  while (have < length) {
    const ssize_t n = recv(sock, buffer->data() + have, length - have, 0);
    if (n <= 0) return false;
    have += static_cast<size_t>(n);
  }
  if (pwrite(fd, buffer->data(), length, *offset) != static_cast<ssize_t>(length)) return false;
  if (sync && fdatasync(fd) != 0) return false;
  *offset += static_cast<off_t>(length);
  const std::string body = "{\"state\":true,\"offset\":" + std::to_string(*offset) + "}";
  return SendAll(sock, "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || (argc == 3 && std::strcmp(argv[2], "--no-sync") != 0) || argc > 3) {
    std::fprintf(stderr, "usage: range_sink FILE [--no-sync]\n");
    return 2;
  }
  const bool sync = argc == 2;
  const int fd = open(argv[1], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t addr_len = sizeof(addr);
  if (fd < 0 || listener < 0 ||
      bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      listen(listener, 16) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &addr_len) != 0) {
    std::perror("range_sink");
    return 1;
  }
  std::printf("listening on http://127.0.0.1:%d\n", ntohs(addr.sin_port));
  std::fflush(stdout);
  std::vector<char> buffer;
  off_t offset = 0;
  for (;;) {
    const int sock = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (sock < 0) {
      if (errno == EINTR) continue;
      std::perror("range_sink: accept");
      return 1;
    }
    const int on = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    if (!Serve(sock, fd, sync, &buffer, &offset))
      std::fprintf(stderr, "range_sink: request failed\n");
    shutdown(sock, SHUT_RDWR);
    close(sock);
  }
}
