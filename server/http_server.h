#ifndef VEXA_SERVER_HTTP_SERVER_H_
#define VEXA_SERVER_HTTP_SERVER_H_

#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

namespace vexa::server {

class HttpConnection;
class ServingQueue;
class TlsServerContext;

// The HTTP server the service runs on. Slow or idle clients cannot starve the
// others: a fixed pool of `workers` threads with as many connections waiting
// (WorkerPool), a connection beyond those answered 503 at once, and reads
// that give up when the client sends nothing for the read time-out.
// Connections are kept alive between requests (up to the keep-alive request
// count, for the keep-alive time-out) without holding a worker: a worker
// serves one request, and what the client already sent behind it, then
// parks the connection with one watching thread (IdleConnections), which
// hands it back to the pool when the next request arrives. At most
// `max_idle` connections (and half the descriptors the process may open)
// are parked; beyond, the oldest is closed.
class HttpServer : public httplib::Server {
 public:
  explicit HttpServer(size_t workers, size_t max_idle = 1024);
  ~HttpServer() override;

  // When the calling worker took the connection of the request it serves,
  // before the request's head was read (for the benchmark's timing).
  static std::chrono::steady_clock::time_point RequestStart();

  // Serves HTTPS with the PEM certificate chain and key (before listening);
  // false with *error naming the file that is wrong.
  bool UseTls(const std::string& cert_file, const std::string& key_file, std::string* error);

 private:
  // Serves the first request of a new connection; a job the pool had no
  // room for is answered 503 without a read. (The library's own version is
  // private, so it cannot be wrapped.)
  bool process_and_close_socket(socket_t sock) override;
  // Serves requests on `c` while they are at hand, then parks or closes it.
  void Serve(std::unique_ptr<HttpConnection> c);

  const size_t workers_;
  const size_t max_idle_;
  ServingQueue* queue_ = nullptr;  // the one of the running listen()
  std::unique_ptr<TlsServerContext> tls_;
};

}  // namespace vexa::server

#endif  // VEXA_SERVER_HTTP_SERVER_H_
