#include "server/idle_connections.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace vexa::server {

namespace {

// Whether the peer closed its side (or the connection failed) with nothing
// left to read: then no worker need look at it.
bool PeerGone(int sock) {
  char byte;
  ssize_t n;
  do {
    n = ::recv(sock, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

}  // namespace

IdleConnections::IdleConnections(size_t max_parked, Wake wake)
    : max_parked_(std::max<size_t>(max_parked, 1)), wake_(std::move(wake)) {
  if (::pipe2(signal_, O_CLOEXEC | O_NONBLOCK) != 0) {
    // Without a way to wake the watcher, nothing is kept.
    stopped_ = true;
    return;
  }
  thread_ = std::thread([this] { Watch(); });
}

IdleConnections::~IdleConnections() {
  Stop();
  for (int fd : signal_) {
    if (fd >= 0) ::close(fd);
  }
}

void IdleConnections::Park(std::unique_ptr<HttpConnection> c, std::chrono::milliseconds idle) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (stopped_) return;  // `c` closes on leaving
    c->ReleaseBuffer();
    incoming_.push_back(Entry{std::move(c), Clock::now() + idle});
  }
  Signal();
}

void IdleConnections::Stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopped_ = true;
  }
  Signal();
  if (thread_.joinable()) thread_.join();
  std::vector<Entry> left;
  std::lock_guard<std::mutex> lock(mu_);
  left.swap(incoming_);
}

void IdleConnections::Signal() {
  if (signal_[1] < 0) return;
  const char byte = 0;
  // A full pipe already holds a wake-up.
  while (::write(signal_[1], &byte, 1) < 0 && errno == EINTR) {
  }
}

void IdleConnections::Watch() {
  std::vector<pollfd> polled;
  std::vector<std::unique_ptr<HttpConnection>> readable;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (stopped_) break;
      for (Entry& e : incoming_) watched_.push_back(std::move(e));
      incoming_.clear();
    }
    while (watched_.size() > max_parked_) watched_.pop_front();
    Clock::time_point next = Clock::time_point::max();
    polled.assign(1, pollfd{signal_[0], POLLIN, 0});
    for (const Entry& e : watched_) {
      polled.push_back(pollfd{e.connection->socket(), POLLIN, 0});
      next = std::min(next, e.deadline);
    }
    int timeout_ms = -1;
    if (next != Clock::time_point::max()) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
      timeout_ms = static_cast<int>(std::clamp<long long>(left, 0, 60 * 1000));
    }
    if (::poll(polled.data(), polled.size(), timeout_ms) < 0 && errno != EINTR) {
      // Nothing can be watched any more: connections parked from now on
      // close at once.
      std::lock_guard<std::mutex> lock(mu_);
      stopped_ = true;
      break;
    }
    if (polled[0].revents != 0) {
      char drain[64];
      while (::read(signal_[0], drain, sizeof(drain)) > 0) {
      }
    }
    // Only this thread changes watched_, so it still matches `polled`.
    const Clock::time_point now = Clock::now();
    size_t kept = 0;
    for (size_t i = 0; i < watched_.size(); ++i) {
      Entry& e = watched_[i];
      const short events = polled[i + 1].revents;
      if ((events != 0 && PeerGone(e.connection->socket())) || (events == 0 && e.deadline <= now)) {
        e.connection.reset();
      } else if (events != 0) {
        readable.push_back(std::move(e.connection));
      } else {
        if (kept != i) watched_[kept] = std::move(e);
        ++kept;
      }
    }
    watched_.resize(kept);
    for (std::unique_ptr<HttpConnection>& c : readable) wake_(std::move(c));
    readable.clear();
  }
  watched_.clear();
}

}  // namespace vexa::server
