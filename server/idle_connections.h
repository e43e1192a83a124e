#ifndef VEXA_SERVER_IDLE_CONNECTIONS_H_
#define VEXA_SERVER_IDLE_CONNECTIONS_H_

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "server/http_connection.h"

namespace vexa::server {

// Kept-alive connections between their requests, watched by one thread so
// that they hold no worker while the client is silent. A connection is
// handed to `wake` as soon as the client sends something; it is closed when
// the client closes it, when it has been idle for its time-out, or when it
// is the oldest and more than `max_parked` are kept. `wake` runs on the
// watching thread and must not block.
class IdleConnections {
 public:
  using Wake = std::function<void(std::unique_ptr<HttpConnection>)>;

  IdleConnections(size_t max_parked, Wake wake);
  // Stops.
  ~IdleConnections();
  IdleConnections(const IdleConnections&) = delete;
  IdleConnections& operator=(const IdleConnections&) = delete;

  // Keeps `c` for at most `idle`. After Stop, closes it at once.
  void Park(std::unique_ptr<HttpConnection> c, std::chrono::milliseconds idle);

  // Closes every kept connection and ends the thread; no `wake` runs after.
  void Stop();

 private:
  using Clock = std::chrono::steady_clock;
  struct Entry {
    std::unique_ptr<HttpConnection> connection;
    Clock::time_point deadline;
  };

  void Watch();
  void Signal();

  const size_t max_parked_;
  const Wake wake_;
  int signal_[2] = {-1, -1};  // a pipe that ends the watcher's poll

  std::mutex mu_;
  bool stopped_ = false;
  std::vector<Entry> incoming_;  // parked, not yet seen by the watcher

  std::deque<Entry> watched_;  // the watcher's own, oldest first
  std::thread thread_;
};

}  // namespace vexa::server

#endif  // VEXA_SERVER_IDLE_CONNECTIONS_H_
