#include "server/http_server.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <string>

#include "server/http_connection.h"
#include "server/idle_connections.h"
#include "server/tls_server_context.h"
#include "server/worker_pool.h"

namespace vexa::server {

// The workers of one listen() and the connections parked between their
// requests. Shutting down closes the parked ones first, so that none is
// handed to a pool that is stopping.
class ServingQueue : public httplib::TaskQueue {
 public:
  using Serve = std::function<void(std::unique_ptr<HttpConnection>)>;

  ServingQueue(size_t workers, size_t max_idle, Serve serve)
      : serve_(std::move(serve)),
        pool_(workers, workers),
        idle_(max_idle, [this](std::unique_ptr<HttpConnection> c) { Resume(std::move(c)); }) {}

  void enqueue(std::function<void()> fn) override { pool_.enqueue(std::move(fn)); }
  void shutdown() override {
    idle_.Stop();
    pool_.shutdown();
  }

  // Queues the next request of a kept connection like a new connection's
  // first: when the pool has no room, it is answered "busy".
  void Resume(std::unique_ptr<HttpConnection> c) {
    // The pool takes copyable jobs.
    auto held = std::make_shared<std::unique_ptr<HttpConnection>>(std::move(c));
    pool_.enqueue([this, held] { serve_(std::move(*held)); });
  }

  IdleConnections& idle() { return idle_; }

 private:
  const Serve serve_;
  WorkerPool pool_;
  IdleConnections idle_;
};

namespace {

thread_local std::chrono::steady_clock::time_point request_start;

// What an overflowing connection gets, in the shape of the service's other
// HTTP errors.
const std::string& BusyAnswer() {
  static const std::string answer = [] {
    const std::string body = "{\"error\":\"HTTP status 503\",\"state\":false}\n";
    return "HTTP/1.1 503 Service Unavailable\r\n"
           "Content-Type: application/json; charset=utf-8\r\n"
           "Content-Length: " +
           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
  }();
  return answer;
}

// At most half the descriptors the process may open are parked
// connections, so that silent clients cannot keep new ones from being
// accepted.
size_t BoundByDescriptors(size_t max_idle) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return max_idle;
  return std::max<size_t>(1, std::min<size_t>(max_idle, limit.rlim_cur / 2));
}

}  // namespace

HttpServer::HttpServer(size_t workers, size_t max_idle)
    : workers_(workers), max_idle_(BoundByDescriptors(max_idle)) {
  new_task_queue = [this] {
    queue_ = new ServingQueue(workers_, max_idle_,
                              [this](std::unique_ptr<HttpConnection> c) { Serve(std::move(c)); });
    return queue_;
  };
}

HttpServer::~HttpServer() = default;

std::chrono::steady_clock::time_point HttpServer::RequestStart() { return request_start; }

bool HttpServer::UseTls(const std::string& cert_file, const std::string& key_file,
                        std::string* error) {
  auto tls = std::make_unique<TlsServerContext>();
  if (!tls->Load(cert_file, key_file, error)) return false;
  tls_ = std::move(tls);
  return true;
}

bool HttpServer::process_and_close_socket(socket_t sock) {
  if (!WorkerPool::Overflowing()) {
    // The answer's head and body go out as two writes; without this the
    // body would wait for the client to acknowledge the head.
    const int on = 1;
    ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
  }
  Serve(std::make_unique<HttpConnection>(
      sock, static_cast<int>(read_timeout_sec_ * 1000 + read_timeout_usec_ / 1000),
      static_cast<int>(write_timeout_sec_ * 1000 + write_timeout_usec_ / 1000),
      tls_ ? tls_->NewConnection(sock) : nullptr));
  return true;
}

void HttpServer::Serve(std::unique_ptr<HttpConnection> c) {
  if (WorkerPool::Overflowing()) {
    // Never blocks the calling thread (the accepting or the watching one):
    // a socket's send buffer holds this easily, and what does not fit is
    // not worth waiting for.
    c->SendNow(BusyAnswer());
    return;
  }
  for (;;) {
    request_start = std::chrono::steady_clock::now();
    // The last request the connection may carry is answered "close".
    const bool last = c->BeginRequest() >= keep_alive_max_count_ || keep_alive_timeout_sec_ <= 0 ||
                      svr_sock_ == INVALID_SOCKET;
    bool client_closed = false;
    const bool ok = process_request(*c, last, client_closed,
                                    [&c](httplib::Request& req) { c->RequestHead(req); });
    if (!ok || last || client_closed || !c->KeepsOpen() || svr_sock_ == INVALID_SOCKET) return;
    // A request the client sent behind this one is answered now, in order.
    if (!c->HasBuffered()) break;
  }
  queue_->idle().Park(std::move(c), std::chrono::seconds(keep_alive_timeout_sec_));
}

}  // namespace vexa::server
