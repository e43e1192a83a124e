#ifndef VEXA_NET_TESTING_KEEPALIVE_RELAY_H_
#define VEXA_NET_TESTING_KEEPALIVE_RELAY_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "port/socket.h"

namespace vexa {

// A loopback front for a service that closes its connection after every
// answer: it keeps the client's connections open, reads the requests on each
// in order, forwards every one on a new connection to the service and hands
// the answer back without its "Connection: close". Several client
// connections are served at once. A hook sees every answer and may change it
// or have the relay close the client's connection instead of answering.
class KeepAliveRelay {
 public:
  enum class Verdict { kAnswer, kAnswerAndClose, kCloseInstead };
  // Called on the connection's thread with the whole request and the
  // service's answer, after the service has handled the request.
  using Hook = std::function<Verdict(const std::string& request, std::string* answer)>;

  // One relayed request.
  struct Record {
    std::string line;  // the request line
    int connection = 0;
    // The next request on the connection had begun to arrive before this
    // one's answer went out: the client did not wait for it.
    bool overlapped = false;
  };

  explicit KeepAliveRelay(Hook hook = nullptr);
  ~KeepAliveRelay();
  KeepAliveRelay(const KeepAliveRelay&) = delete;
  KeepAliveRelay& operator=(const KeepAliveRelay&) = delete;

  // The service's port; set before the first request arrives.
  void SetUpstream(uint16_t port) { upstream_ = port; }
  // Before answering each of the next `ranges` requests a range may follow
  // without waiting (a check, a range before the last of its file), waits
  // up to `ms` for the next request to begin, so that a client that sends it
  // without waiting is seen doing so whatever the machine's load.
  void AwaitNextRange(int ms, int ranges) {
    await_next_ms_ = ms;
    awaited_ranges_ = ranges;
  }

  uint16_t port() const { return port_; }
  int connections() const { return connections_.load(); }
  std::vector<Record> records() const;

 private:
  void AcceptLoop();
  void Serve(port::SocketHandle client, int connection);
  bool Forward(const std::string& request, std::string* answer);

  Hook hook_;
  port::SocketApi* api_;
  port::SocketHandle listener_ = port::kInvalidSocket;
  uint16_t port_ = 0;
  std::atomic<uint16_t> upstream_{0};
  std::atomic<int> await_next_ms_{0};
  std::atomic<int> awaited_ranges_{0};
  std::atomic<bool> stopping_{false};
  std::atomic<int> connections_{0};
  mutable std::mutex mu_;
  std::vector<Record> records_;       // guarded by mu_
  std::vector<std::thread> servers_;  // guarded by mu_
  std::thread acceptor_;
};

}  // namespace vexa

#endif  // VEXA_NET_TESTING_KEEPALIVE_RELAY_H_
