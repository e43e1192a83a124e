// wan_link: the pieces of the wide-area benchmark that are not the product.
//
//   wan_link relay NS_A NS_B --rtt-ms R --mbit M --queue-ms Q
//     Opens a TUN device "vxwan0" in network namespace NS_A and "vxwan1" in
//     NS_B (named ones, under /var/run/netns) and moves every IP packet from
//     one to the other after its serialisation time at M Mbit/s plus half of
//     R; a packet that would wait more than Q ms for the line is dropped
//     (tail drop), as at a real bottleneck. The kernels' own TCP runs on both
//     ends, so handshakes, slow start and congestion control behave as on a
//     real path. Prints "ready" once both devices exist (the caller then
//     gives them addresses) and relays until SIGINT, SIGTERM or the end of
//     the process that started it; the devices go with the process.
//
//   wan_link sink ADDR [--tls-cert FILE --tls-key FILE]
//     An HTTP sink on ADDR and a free port: reads each request's head and
//     Content-Length body, answers 200 and closes. Prints "listening on
//     http://ADDR:PORT". The peer of a single curl POST. With a certificate
//     and key (as vexa-server takes them) it speaks HTTPS through the
//     service's own TLS settings and says "https://".
//
//   wan_link authority ADDR DIR
//     Makes a test authority and a certificate for ADDR (an IP address) and
//     writes DIR/ca.pem (what a client trusts), DIR/server.pem and
//     DIR/server.key.

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <string>
#include <vector>

#include "net/testing/test_authority.h"
#include "server/tls_server_context.h"

namespace {

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "wan_link: %s: %s\n", what.c_str(), std::strerror(errno));
  std::exit(1);
}

double Now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// A TUN device named `device` made inside the named network namespace.
int OpenTunIn(const std::string& ns, const char* device) {
  const int home = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
  const int there = open(("/var/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
  if (home < 0 || there < 0) Fail("no network namespace " + ns);
  if (setns(there, CLONE_NEWNET) != 0) Fail("cannot enter " + ns);
  const int fd = open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) Fail("/dev/net/tun");
  ifreq req{};
  req.ifr_flags = IFF_TUN | IFF_NO_PI;
  std::strncpy(req.ifr_name, device, IFNAMSIZ - 1);
  if (ioctl(fd, TUNSETIFF, &req) != 0) Fail(std::string("TUNSETIFF ") + device);
  if (setns(home, CLONE_NEWNET) != 0) Fail("cannot return to the first namespace");
  close(home);
  close(there);
  return fd;
}

// One direction of the link: packets in flight, in the order they arrive.
struct Direction {
  int from = -1;
  int to = -1;
  double line_free_at = 0;  // when the bottleneck has sent what it holds
  struct Packet {
    double arrives;
    std::string bytes;
  };
  std::deque<Packet> in_flight;
  unsigned long long dropped = 0;
};

volatile sig_atomic_t stopping = 0;

int Relay(int argc, char** argv) {
  if (argc < 4) return 2;
  double rtt_ms = 50, mbit = 100, queue_ms = 100;
  for (int i = 4; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    const double value = std::atof(argv[i + 1]);
    if (flag == "--rtt-ms")
      rtt_ms = value;
    else if (flag == "--mbit")
      mbit = value;
    else if (flag == "--queue-ms")
      queue_ms = value;
    else
      return 2;
  }
  if (rtt_ms < 0 || mbit <= 0 || queue_ms < 0) return 2;
  const double one_way = rtt_ms / 2000.0, bytes_per_s = mbit * 1e6 / 8, queue_s = queue_ms / 1000.0;

  const int a = OpenTunIn(argv[2], "vxwan0");
  const int b = OpenTunIn(argv[3], "vxwan1");
  struct sigaction sa {};
  sa.sa_handler = [](int) { stopping = 1; };
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  // Whoever started the link going (even killed) takes it down.
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() == 1) return 1;
  std::printf("ready\n");
  std::fflush(stdout);

  Direction dirs[2];
  dirs[0].from = a, dirs[0].to = b;
  dirs[1].from = b, dirs[1].to = a;
  std::vector<char> buffer(65536);
  while (!stopping) {
    double now = Now();
    double next = now + 1.0;
    for (Direction& d : dirs) {
      while (!d.in_flight.empty() && d.in_flight.front().arrives <= now) {
        const std::string& p = d.in_flight.front().bytes;
        if (write(d.to, p.data(), p.size()) < 0 && errno == EINTR) continue;
        d.in_flight.pop_front();  // a device that cannot take it drops it
      }
      if (!d.in_flight.empty()) next = std::min(next, d.in_flight.front().arrives);
    }
    pollfd polled[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
    const double wait = std::max(0.0, next - now);
    timespec t{static_cast<time_t>(wait),
               static_cast<long>((wait - static_cast<double>(static_cast<time_t>(wait))) * 1e9)};
    if (ppoll(polled, 2, &t, nullptr) < 0) {
      if (errno == EINTR) continue;
      Fail("ppoll");
    }
    now = Now();
    for (int i = 0; i < 2; ++i) {
      if (polled[i].revents == 0) continue;
      Direction& d = dirs[i];
      for (int n = 0; n < 256; ++n) {
        const ssize_t got = read(d.from, buffer.data(), buffer.size());
        if (got <= 0) break;
        const double start = std::max(now, d.line_free_at);
        if (start - now > queue_s) {
          ++d.dropped;
          continue;
        }
        d.line_free_at = start + static_cast<double>(got) / bytes_per_s;
        d.in_flight.push_back(
            {d.line_free_at + one_way, std::string(buffer.data(), static_cast<size_t>(got))});
      }
    }
  }
  std::fprintf(stderr,
               "wan_link: packets dropped at the bottleneck: %llu one way, %llu the other\n",
               dirs[0].dropped, dirs[1].dropped);
  return 0;
}

bool SendAllBytes(int sock, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = send(sock, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// How long the sink waits for a peer that has gone quiet mid-request.
constexpr int kSinkQuietMs = 60000;

// One connection of the sink, plain or through TLS (whose records go to the
// socket without blocking: each step waits here for what the library needs).
class SinkConnection {
 public:
  SinkConnection(int sock, SSL* tls) : sock_(sock), tls_(tls) {}
  ~SinkConnection() {
    if (tls_ != nullptr) {
      if (handshaken_) SSL_shutdown(tls_);  // close_notify, not waited for
      SSL_free(tls_);
    }
  }
  SinkConnection(const SinkConnection&) = delete;
  SinkConnection& operator=(const SinkConnection&) = delete;

  bool Handshake() {
    if (tls_ == nullptr) return true;
    handshaken_ = TlsStep([this] { return SSL_do_handshake(tls_); }) > 0;
    return handshaken_;
  }
  // Bytes received (at most `length`), or 0 or less once the peer is gone.
  long Receive(char* buffer, size_t length) {
    if (tls_ != nullptr) {
      return TlsStep([&] { return SSL_read(tls_, buffer, static_cast<int>(length)); });
    }
    for (;;) {
      const ssize_t n = recv(sock_, buffer, length, 0);
      if (n < 0 && errno == EINTR) continue;
      return static_cast<long>(n);
    }
  }
  bool Send(const std::string& text) {
    if (tls_ == nullptr) return SendAllBytes(sock_, text);
    return TlsStep([&] { return SSL_write(tls_, text.data(), static_cast<int>(text.size())); }) > 0;
  }

 private:
  // Repeats `step` (an SSL call) until it succeeds (> 0) or fails for good.
  template <typename Step>
  int TlsStep(Step step) {
    for (;;) {
      const int n = step();
      if (n > 0) return n;
      const int error = SSL_get_error(tls_, n);
      pollfd p{sock_, 0, 0};
      if (error == SSL_ERROR_WANT_READ) p.events = POLLIN;
      if (error == SSL_ERROR_WANT_WRITE) p.events = POLLOUT;
      if (p.events == 0) return -1;
      int ready;
      while ((ready = poll(&p, 1, kSinkQuietMs)) < 0 && errno == EINTR) {
      }
      if (ready <= 0) return -1;
    }
  }

  const int sock_;
  SSL* const tls_;
  bool handshaken_ = false;
};

void Discard(SinkConnection* connection) {
  if (!connection->Handshake()) return;
  std::string head;
  std::vector<char> piece(1 << 16);
  size_t end;
  while ((end = head.find("\r\n\r\n")) == std::string::npos) {
    const long n = connection->Receive(piece.data(), 4096);
    if (n <= 0) return;
    head.append(piece.data(), static_cast<size_t>(n));
  }
  unsigned long long left = 0;
  for (size_t line = head.find("\r\n"); line < end; line = head.find("\r\n", line + 2)) {
    if (strncasecmp(head.c_str() + line + 2, "Content-Length:", 15) == 0) {
      left = std::strtoull(head.c_str() + line + 17, nullptr, 10);
    }
  }
  const size_t early = head.size() - end - 4;
  left -= std::min<unsigned long long>(left, early);
  while (left > 0) {
    const long n = connection->Receive(piece.data(), std::min<size_t>(piece.size(), left));
    if (n <= 0) return;
    left -= static_cast<unsigned long long>(n);
  }
  connection->Send("HTTP/1.1 200 OK\r\nContent-Length: 3\r\nConnection: close\r\n\r\nok\n");
}

int Sink(int argc, char** argv) {
  if (argc != 3 && argc != 7) return 2;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  if (inet_pton(AF_INET, argv[2], &addr.sin_addr) != 1) return 2;
  const bool secure = argc == 7;
  vexa::server::TlsServerContext tls;
  if (secure) {
    if (std::strcmp(argv[3], "--tls-cert") != 0 || std::strcmp(argv[5], "--tls-key") != 0) return 2;
    std::string error;
    if (!tls.Load(argv[4], argv[6], &error)) {
      std::fprintf(stderr, "wan_link: %s\n", error.c_str());
      return 1;
    }
  }
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  socklen_t len = sizeof(addr);
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      listen(listener, 16) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    Fail("cannot listen");
  }
  std::printf("listening on %s://%s:%d\n", secure ? "https" : "http", argv[2],
              ntohs(addr.sin_port));
  std::fflush(stdout);
  for (;;) {
    const int sock = accept(listener, nullptr, nullptr);
    if (sock < 0) {
      if (errno == EINTR) continue;
      Fail("accept");
    }
    SSL* session = secure ? tls.NewConnection(sock) : nullptr;
    if (!secure || session != nullptr) {
      SinkConnection connection(sock, session);
      Discard(&connection);
    }
    close(sock);
  }
}

int Authority(int argc, char** argv) {
  if (argc != 4) return 2;
  in6_addr ignored;
  if (inet_pton(AF_INET, argv[2], &ignored) != 1 && inet_pton(AF_INET6, argv[2], &ignored) != 1) {
    return 2;
  }
  const vexa::TestAuthority ca(argv[2]);
  if (!ca.ok()) {
    std::fprintf(stderr, "wan_link: the test authority: %s\n", ca.error().c_str());
    return 1;
  }
  namespace fs = std::filesystem;
  const fs::path dir = argv[3];
  std::error_code error;
  fs::create_directories(dir, error);
  const auto overwrite = fs::copy_options::overwrite_existing;
  if (error || !fs::copy_file(ca.ca_file(), dir / "ca.pem", overwrite, error) ||
      !fs::copy_file(ca.cert(vexa::TestAuthority::kGood), dir / "server.pem", overwrite, error) ||
      !fs::copy_file(ca.key(vexa::TestAuthority::kGood), dir / "server.key", overwrite, error)) {
    std::fprintf(stderr, "wan_link: cannot write to %s: %s\n", argv[3], error.message().c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int status = 2;
  if (argc >= 2 && std::strcmp(argv[1], "relay") == 0) status = Relay(argc, argv);
  if (argc >= 2 && std::strcmp(argv[1], "sink") == 0) status = Sink(argc, argv);
  if (argc >= 2 && std::strcmp(argv[1], "authority") == 0) status = Authority(argc, argv);
  if (status == 2) {
    std::fprintf(stderr,
                 "usage: wan_link relay NS_A NS_B [--rtt-ms R] [--mbit M] [--queue-ms Q]\n"
                 "       wan_link sink ADDR [--tls-cert FILE --tls-key FILE]\n"
                 "       wan_link authority ADDR DIR\n");
  }
  return status;
}
