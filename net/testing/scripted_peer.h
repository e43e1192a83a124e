#ifndef VEXA_NET_TESTING_SCRIPTED_PEER_H_
#define VEXA_NET_TESTING_SCRIPTED_PEER_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "port/socket.h"

namespace vexa {

// A loopback TCP peer for tests: it listens on a free port of 127.0.0.1,
// accepts connections one after another and runs a script on each, recording
// every byte the client sent. Scripts answer with exact bytes, split them,
// stall, or close at will. Stopped (and its thread joined) by the destructor.
class ScriptedPeer {
 public:
  class Connection {
   public:
    // Reads until `marker` has been received (true), or the client closed,
    // the wait ran out or the peer is stopping (false).
    bool ReadUntil(std::string_view marker, int timeout_ms = 5000);
    // Reads until `count` bytes have been received on this connection.
    bool ReadAtLeast(size_t count, int timeout_ms = 5000);
    // Sends all bytes; false when the client has gone.
    bool Write(std::string_view bytes);
    // Waits until the client closes the connection or the peer is stopping.
    void WaitForClientClose(int timeout_ms = 60000);
    // Everything received on this connection so far.
    const std::string& received() const { return received_; }

   private:
    friend class ScriptedPeer;
    Connection(ScriptedPeer* peer, port::SocketHandle s) : peer_(peer), socket_(s) {}
    // Receives what is available within `timeout_ms`; false on close or error.
    bool ReadSome(int timeout_ms);

    ScriptedPeer* peer_;
    port::SocketHandle socket_;
    std::string received_;
  };
  using Script = std::function<void(Connection&)>;

  // Starts listening; port() is 0 when that failed.
  explicit ScriptedPeer(Script script);
  ~ScriptedPeer();
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  uint16_t port() const { return port_; }
  // The bytes received on every connection so far, in order.
  std::string received() const;
  int connections() const { return connections_.load(); }

 private:
  void Run();
  void Record(std::string_view bytes);

  Script script_;
  port::SocketApi* api_;
  port::SocketHandle listener_ = port::kInvalidSocket;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> connections_{0};
  mutable std::mutex mu_;
  std::string received_;  // guarded by mu_
  std::thread thread_;
};

}  // namespace vexa

#endif  // VEXA_NET_TESTING_SCRIPTED_PEER_H_
