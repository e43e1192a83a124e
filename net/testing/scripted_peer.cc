#include "net/testing/scripted_peer.h"

#include "port/clock.h"

namespace vexa {

namespace {
constexpr int kSliceMs = 50;
}  // namespace

ScriptedPeer::ScriptedPeer(Script script)
    : script_(std::move(script)), api_(port::DefaultSocketApi()) {
  listener_ = api_->Listen(0, &port_);
  if (listener_ == port::kInvalidSocket) {
    port_ = 0;
    return;
  }
  thread_ = std::thread([this] { Run(); });
}

ScriptedPeer::~ScriptedPeer() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
  if (listener_ != port::kInvalidSocket) api_->Close(listener_);
}

std::string ScriptedPeer::received() const {
  std::lock_guard<std::mutex> lock(mu_);
  return received_;
}

void ScriptedPeer::Record(std::string_view bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  received_.append(bytes);
}

void ScriptedPeer::Run() {
  while (!stopping_) {
    port::SocketHandle s = api_->Accept(listener_, kSliceMs);
    if (s == port::kInvalidSocket) continue;
    connections_++;
    Connection c(this, s);
    script_(c);
    api_->Close(s);
  }
}

bool ScriptedPeer::Connection::ReadSome(int timeout_ms) {
  const uint64_t start = port::MonotonicMillis();
  char buf[4096];
  while (!peer_->stopping_) {
    long n = peer_->api_->Receive(socket_, buf, sizeof(buf), 0);
    if (n > 0) {
      received_.append(buf, static_cast<size_t>(n));
      peer_->Record(std::string_view(buf, static_cast<size_t>(n)));
      return true;
    }
    if (n == 0) return false;
    int err = port::LastErrno();
    if (err != port::kErrWouldBlock && err != port::kErrInterrupted) return false;
    if (port::MonotonicMillis() - start >= static_cast<uint64_t>(timeout_ms)) return false;
    peer_->api_->Poll(socket_, true, false, kSliceMs);
  }
  return false;
}

bool ScriptedPeer::Connection::ReadUntil(std::string_view marker, int timeout_ms) {
  const uint64_t start = port::MonotonicMillis();
  while (received_.find(marker) == std::string::npos) {
    uint64_t spent = port::MonotonicMillis() - start;
    if (spent >= static_cast<uint64_t>(timeout_ms)) return false;
    if (!ReadSome(timeout_ms - static_cast<int>(spent))) return false;
  }
  return true;
}

bool ScriptedPeer::Connection::ReadAtLeast(size_t count, int timeout_ms) {
  const uint64_t start = port::MonotonicMillis();
  while (received_.size() < count) {
    uint64_t spent = port::MonotonicMillis() - start;
    if (spent >= static_cast<uint64_t>(timeout_ms)) return false;
    if (!ReadSome(timeout_ms - static_cast<int>(spent))) return false;
  }
  return true;
}

bool ScriptedPeer::Connection::Write(std::string_view bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    if (peer_->stopping_) return false;
    long n = peer_->api_->Send(socket_, bytes.data() + sent, bytes.size() - sent);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    int err = port::LastErrno();
    if (n < 0 && (err == port::kErrWouldBlock || err == port::kErrInterrupted)) {
      peer_->api_->Poll(socket_, false, true, kSliceMs);
      continue;
    }
    return false;
  }
  return true;
}

void ScriptedPeer::Connection::WaitForClientClose(int timeout_ms) {
  const uint64_t start = port::MonotonicMillis();
  while (!peer_->stopping_ && port::MonotonicMillis() - start < static_cast<uint64_t>(timeout_ms)) {
    char buf[4096];
    long n = peer_->api_->Receive(socket_, buf, sizeof(buf), 0);
    if (n == 0) return;
    if (n > 0) {
      received_.append(buf, static_cast<size_t>(n));
      peer_->Record(std::string_view(buf, static_cast<size_t>(n)));
      continue;
    }
    int err = port::LastErrno();
    if (err != port::kErrWouldBlock && err != port::kErrInterrupted) return;
    peer_->api_->Poll(socket_, true, false, kSliceMs);
  }
}

}  // namespace vexa
