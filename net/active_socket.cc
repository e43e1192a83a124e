#include "net/active_socket.h"

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "port/clock.h"
#include "port/event.h"
#include "port/thread.h"

namespace vexa {

namespace {

// One name resolution, owned jointly by the socket that waits for it and the
// helper thread that runs it, so a resolver that outlives the wait writes
// only here.
struct ResolveJob {
  std::string host;
  std::vector<uint32_t> addresses;
  bool ok = false;
  port::Event done;
};

}  // namespace

bool CActiveSocket::ResolveHost(const char* host, uint64_t start_ms,
                                std::vector<uint32_t>* addresses) {
  auto job = std::make_shared<ResolveJob>();
  job->host = host;
  port::SocketApi* api = api_;
  std::function<void()> run = [job, api] {
    job->ok = api->Resolve(job->host, &job->addresses);
    job->done.Set();
  };
  // The system resolver has no time-out of its own; on a helper thread it is
  // bounded by ours and by the abort check. Without a thread to spare it runs
  // here, unbounded.
  if (!port::StartDetachedThread(run)) run();
  for (;;) {
    int slice_ms;
    if (!NextWaitSlice(start_ms, connect_timeout_ms(), &slice_ms)) return false;
    if (slice_ms < 0) {
      job->done.Wait();
      break;
    }
    if (job->done.Wait(static_cast<uint32_t>(slice_ms))) break;
  }
  if (!job->ok || job->addresses.empty() || job->addresses[0] == 0xffffffffu) {
    last_status_ = SocketStatus::InvalidAddress;
    return false;
  }
  *addresses = std::move(job->addresses);
  return true;
}

bool CActiveSocket::Open(const char* host, uint16_t port) {
  if (!IsValid()) {
    last_status_ = SocketStatus::InvalidSocket;
    return false;
  }
  if (host == nullptr) {
    last_status_ = SocketStatus::InvalidAddress;
    return false;
  }
  if (port == 0) {
    last_status_ = SocketStatus::InvalidPort;
    return false;
  }
  server_address_ = port::Endpoint();
  if (*host == '\0') {
    last_status_ = SocketStatus::InvalidAddress;
    return false;
  }
  const uint64_t start = port::MonotonicMillis();
  std::vector<uint32_t> addresses;
  if (!ResolveHost(host, start, &addresses)) return false;
  port::Endpoint to;
  to.address = addresses[0];
  to.port = port;
  // Start the connection and wait for it here, so the wait has both the
  // connect time-out (what resolving left of it) and the abort check.
  if (api_->Connect(handle_, to, 0) != 0) {
    if (port::LastErrno() != port::kErrInProgress) {
      MapSocketError();
      return false;
    }
    int left_ms = connect_timeout_ms();
    if (left_ms >= 0) {
      uint64_t used = port::MonotonicMillis() - start;
      left_ms = used >= static_cast<uint64_t>(left_ms) ? 1 : static_cast<int>(left_ms - used);
    }
    if (!WaitReady(false, left_ms)) return false;
    int err = 0;
    if (api_->PendingError(handle_, &err) != 0) {
      MapSocketError();
      return false;
    }
    if (err != 0) {
      MapSocketError(err);
      return false;
    }
  }
  if (api_->PeerEndpoint(handle_, &server_address_) != 0) server_address_ = to;
  api_->LocalEndpoint(handle_, &client_address_);
  last_status_ = SocketStatus::Success;
  return true;
}

}  // namespace vexa
