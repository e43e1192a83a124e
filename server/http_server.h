#ifndef VEXA_SERVER_HTTP_SERVER_H_
#define VEXA_SERVER_HTTP_SERVER_H_

#include <httplib.h>

#include <chrono>
#include <cstddef>

namespace vexa::server {

// The HTTP server the service runs on. Slow or idle clients cannot starve the
// others: a fixed pool of `workers` threads with as many connections waiting
// (WorkerPool), a connection beyond those answered 503 at once, and reads
// that give up when the client sends nothing for the read time-out.
class HttpServer : public httplib::Server {
 public:
  explicit HttpServer(size_t workers);

  // When the calling worker thread took its current connection, before the
  // request head was read (for the benchmark's timing).
  static std::chrono::steady_clock::time_point ConnectionStart();

 private:
  // Serves one request and closes; a job the pool had no room for is
  // answered 503 without a read. (The library's own version is private, so
  // it cannot be wrapped.)
  bool process_and_close_socket(socket_t sock) override;
};

}  // namespace vexa::server

#endif  // VEXA_SERVER_HTTP_SERVER_H_
