#include "net/testing/keepalive_relay.h"

#include <cstdlib>

#include "net/active_socket.h"
#include "net/http_response.h"
#include "port/clock.h"

namespace vexa {

namespace {

constexpr int kRelaySliceMs = 50;

// Whether the client may send a range before this request is answered: a
// check (the first range goes behind it) or a range before the last of its
// file.
bool RangeMayFollow(const std::string& request) {
  const std::string line = request.substr(0, request.find("\r\n"));
  if (line.find("/2.0/check") != std::string::npos) return true;
  if (line.find("/bigupload") == std::string::npos) return false;
  const size_t size_at = line.find("filesize=");
  const size_t range_at = request.find("name=\"ctrange\"\r\n\r\n");
  if (size_at == std::string::npos || range_at == std::string::npos) return false;
  const long long size = std::atoll(line.c_str() + size_at + 9);
  const size_t dash = request.find('-', range_at + 18);
  return dash != std::string::npos && std::atoll(request.c_str() + dash + 1) < size;
}

}  // namespace

KeepAliveRelay::KeepAliveRelay(Hook hook) : hook_(std::move(hook)), api_(port::DefaultSocketApi()) {
  listener_ = api_->Listen(0, &port_);
  if (listener_ == port::kInvalidSocket) {
    port_ = 0;
    return;
  }
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

KeepAliveRelay::~KeepAliveRelay() {
  stopping_ = true;
  if (acceptor_.joinable()) acceptor_.join();
  std::vector<std::thread> servers;
  {
    std::lock_guard<std::mutex> l(mu_);
    servers.swap(servers_);
  }
  for (std::thread& t : servers) t.join();
  if (listener_ != port::kInvalidSocket) api_->Close(listener_);
}

std::vector<KeepAliveRelay::Record> KeepAliveRelay::records() const {
  std::lock_guard<std::mutex> l(mu_);
  return records_;
}

void KeepAliveRelay::AcceptLoop() {
  while (!stopping_) {
    port::SocketHandle s = api_->Accept(listener_, kRelaySliceMs);
    if (s == port::kInvalidSocket) continue;
    const int n = ++connections_;
    std::lock_guard<std::mutex> l(mu_);
    servers_.emplace_back([this, s, n] {
      Serve(s, n);
      api_->Close(s);
    });
  }
}

bool KeepAliveRelay::Forward(const std::string& request, std::string* answer) {
  CActiveSocket upstream(api_);
  upstream.SetTimeouts(5000, 60000);
  if (!upstream.Initialize() || !upstream.Open("127.0.0.1", upstream_.load())) return false;
  if (upstream.Send(request) != static_cast<int32_t>(request.size())) return false;
  return ReadResponse(upstream, answer);
}

void KeepAliveRelay::Serve(port::SocketHandle client, int connection) {
  std::string in;
  // Reads what arrives within `ms`; false when the client closed or the relay stops.
  auto read_some = [&](int ms) {
    const uint64_t start = port::MonotonicMillis();
    char buf[65536];
    while (!stopping_) {
      const long n = api_->Receive(client, buf, sizeof(buf), 0);
      if (n > 0) {
        in.append(buf, static_cast<size_t>(n));
        return true;
      }
      if (n == 0) return false;
      const int err = port::LastErrno();
      if (err != port::kErrWouldBlock && err != port::kErrInterrupted) return false;
      if (port::MonotonicMillis() - start >= static_cast<uint64_t>(ms)) return true;
      api_->Poll(client, true, false, kRelaySliceMs);
    }
    return false;
  };
  for (;;) {
    size_t head_end;
    while ((head_end = in.find("\r\n\r\n")) == std::string::npos) {
      if (!read_some(60000)) return;
    }
    const std::string head = in.substr(0, head_end + 4);
    // The client's requests spell the header so.
    const size_t length_at = head.find("\r\nContent-Length: ");
    const size_t total =
        head.size() + (length_at == std::string::npos
                           ? 0
                           : std::strtoull(head.c_str() + length_at + 18, nullptr, 10));
    while (in.size() < total) {
      if (!read_some(60000)) return;
    }
    const std::string request = in.substr(0, total);
    in.erase(0, total);
    std::string answer;
    if (!Forward(request, &answer)) return;
    const std::string close_header = "Connection: close\r\n";
    const size_t close_at = answer.find(close_header);
    if (close_at != std::string::npos && close_at < answer.find("\r\n\r\n"))
      answer.erase(close_at, close_header.size());

    const int await_ms = await_next_ms_.load();
    if (await_ms > 0 && RangeMayFollow(request) && awaited_ranges_.fetch_sub(1) > 0) {
      const uint64_t start = port::MonotonicMillis();
      while (in.empty() && port::MonotonicMillis() - start < static_cast<uint64_t>(await_ms)) {
        if (!read_some(kRelaySliceMs)) break;
      }
    }
    if (in.empty()) read_some(0);
    Record record{request.substr(0, request.find("\r\n")), connection, !in.empty()};
    {
      std::lock_guard<std::mutex> l(mu_);
      records_.push_back(record);
    }
    const Verdict verdict = hook_ ? hook_(request, &answer) : Verdict::kAnswer;
    if (verdict == Verdict::kCloseInstead) return;
    size_t sent = 0;
    while (sent < answer.size()) {
      if (stopping_) return;
      const long n = api_->Send(client, answer.data() + sent, answer.size() - sent);
      if (n > 0) {
        sent += static_cast<size_t>(n);
        continue;
      }
      const int err = port::LastErrno();
      if (n < 0 && (err == port::kErrWouldBlock || err == port::kErrInterrupted)) {
        api_->Poll(client, false, true, kRelaySliceMs);
        continue;
      }
      return;
    }
    if (verdict == Verdict::kAnswerAndClose) return;
  }
}

}  // namespace vexa
