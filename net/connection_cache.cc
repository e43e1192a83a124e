#include "net/connection_cache.h"

#include <utility>

#include "port/clock.h"

namespace vexa {

std::unique_ptr<CProxySocket> ConnectionCache::Take(const ConnectionRoute& route) {
  std::vector<std::unique_ptr<CProxySocket>> dead;  // closed outside the lock
  std::unique_ptr<CProxySocket> found;
  {
    port::MutexLock l(&mu_);
    const uint64_t now = port::MonotonicMillis();
    for (size_t i = idle_.size(); i-- > 0;) {
      Entry& e = idle_[i];
      const bool expired = now - e.keptAtMs >= static_cast<uint64_t>(idle_limit_ms_);
      if (!expired && (found || !(e.route == route))) continue;
      std::unique_ptr<CProxySocket> s = std::move(e.socket);
      idle_.erase(idle_.begin() + static_cast<std::ptrdiff_t>(i));
      if (!expired && s->PeerIsQuiet()) {
        found = std::move(s);
      } else {
        dead.push_back(std::move(s));
      }
    }
  }
  return found;
}

void ConnectionCache::Give(const ConnectionRoute& route, std::unique_ptr<CProxySocket> socket) {
  if (!socket || !socket->IsValid() || capacity_ == 0) return;
  std::unique_ptr<CProxySocket> dropped;
  port::MutexLock l(&mu_);
  if (idle_.size() >= capacity_) {
    dropped = std::move(idle_.front().socket);
    idle_.erase(idle_.begin());
  }
  idle_.push_back(Entry{route, std::move(socket), port::MonotonicMillis()});
}

void ConnectionCache::Clear() {
  std::vector<Entry> all;
  port::MutexLock l(&mu_);
  all.swap(idle_);
}

size_t ConnectionCache::size() const {
  port::MutexLock l(&mu_);
  return idle_.size();
}

}  // namespace vexa
