#ifndef VEXA_APPS_BRIDGE_BRIDGE_SERVER_H_
#define VEXA_APPS_BRIDGE_BRIDGE_SERVER_H_

// The bridge's server: one loopback port that answers
//   GET /typelib.json   the control's type description
//   GET /vexaupload.js  the page-side script
//   WebSocket at /      one control per connection, scripted with the JSON
//                       messages of the control's dispatcher (one request or
//                       answer or event per text message)
// Everything runs on the thread that runs the io_context, which plays the
// control's UI thread: engine threads only wake it to fire their events.
//
// Only processes of the bridge's own user are served (any user of the
// machine can reach a loopback port), and only pages of registered origins
// get a control, which then treats the page as untrusted script.

#include <boost/asio/io_context.hpp>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vexa::bridge {

inline constexpr uint16_t kDefaultPort = 18026;

struct BridgeOptions {
  std::string host = "127.0.0.1";  // must be a loopback address
  uint16_t port = kDefaultPort;    // 0: any free port
  // A listening socket to serve on instead of binding host and port (one the
  // service manager kept open for us); -1 for none. It must be bound to a
  // loopback address.
  int listening_socket = -1;
  // The largest request a page may send; a larger one ends its connection.
  size_t max_message = 64 * 1024;
  // Output held for a page that does not read; beyond it the page is dropped.
  size_t max_backlog = 8 * 1024 * 1024;
  size_t max_connections = 64;
  // Plain HTTP connections (documents, upgrades not yet answered) open at
  // once; more are closed as they come, so idle sockets cannot use up the
  // bridge's descriptors.
  size_t max_http_connections = 32;
  // The origins allowed to create the control, asked at every new connection
  // so that a registration takes effect without a restart.
  std::function<std::vector<std::string>()> origins;
  // One line of the bridge's log, without a line end.
  std::function<void(const std::string&)> log;
};

class BridgeServer {
 public:
  BridgeServer(boost::asio::io_context* io, BridgeOptions options);
  ~BridgeServer();
  BridgeServer(const BridgeServer&) = delete;
  BridgeServer& operator=(const BridgeServer&) = delete;

  // Binds and starts accepting. False with *error set when the address is not
  // loopback or cannot be bound.
  bool Listen(std::string* error);
  // The bound port (after Listen).
  uint16_t port() const;
  // Stops accepting and ends every connection; run the io_context afterwards
  // until it returns to let them finish.
  void Stop();
  // Pages connected now.
  size_t sessions() const;

 private:
  class Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace vexa::bridge

#endif  // VEXA_APPS_BRIDGE_BRIDGE_SERVER_H_
