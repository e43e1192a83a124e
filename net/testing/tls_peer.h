#ifndef VEXA_NET_TESTING_TLS_PEER_H_
#define VEXA_NET_TESTING_TLS_PEER_H_

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "port/socket.h"

namespace vexa {

// A loopback HTTPS peer for tests: it accepts connections one after another,
// runs the TLS handshake with the given certificate and, on each connection,
// answers every request head ("\r\n\r\n"-terminated, no body) with `answer`
// until the client closes. It records the decrypted bytes it received.
class TlsPeer {
 public:
  struct Options {
    std::string cert_file;
    std::string key_file;
    std::string answer;
    // Offer only TLS 1.0, as an outdated server does.
    bool tls10_only = false;
  };

  explicit TlsPeer(Options options);
  ~TlsPeer();
  TlsPeer(const TlsPeer&) = delete;
  TlsPeer& operator=(const TlsPeer&) = delete;

  // 0 when the peer could not start (error() says why).
  uint16_t port() const { return port_; }
  const std::string& error() const { return error_; }
  // Handshakes that completed, and of those the ones that resumed a session.
  int handshakes() const { return handshakes_.load(); }
  int resumed() const { return resumed_.load(); }
  int connections() const { return connections_.load(); }
  std::string received() const;

 private:
  void Run();

  Options options_;
  void* ctx_ = nullptr;  // SSL_CTX
  port::SocketApi* api_;
  port::SocketHandle listener_ = port::kInvalidSocket;
  std::atomic<port::SocketHandle> current_{port::kInvalidSocket};
  uint16_t port_ = 0;
  std::string error_;
  std::atomic<bool> stopping_{false};
  std::atomic<int> handshakes_{0};
  std::atomic<int> resumed_{0};
  std::atomic<int> connections_{0};
  mutable std::mutex mu_;
  std::string received_;  // guarded by mu_
  std::thread thread_;
};

}  // namespace vexa

#endif  // VEXA_NET_TESTING_TLS_PEER_H_
