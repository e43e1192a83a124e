#include "net/simple_socket.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "port/clock.h"
#include "port/file.h"

namespace vexa {

namespace {
constexpr int kAbortCheckSliceMs = 100;
constexpr size_t kFileBlock = 8192;
}  // namespace

CSimpleSocket::CSimpleSocket(port::SocketApi* api) : api_(api) {}

// Hands the TLS layer's records to the socket's own sends and receives.
class CSimpleSocket::TlsLink : public port::TlsTransport {
 public:
  explicit TlsLink(CSimpleSocket* socket) : socket_(socket) {}
  bool WriteAll(const void* data, size_t length) override {
    return socket_->SendRaw(static_cast<const char*>(data), length);
  }
  long ReadSome(void* buffer, size_t length) override {
    return socket_->ReceiveRaw(static_cast<char*>(buffer), length, no_wait_);
  }
  bool no_wait_ = false;

 private:
  CSimpleSocket* socket_;
};

CSimpleSocket::~CSimpleSocket() {
  tls_.reset();
  FreeReceiveBuffer();
  if (IsValid()) {
    api_->Close(handle_);
    handle_ = port::kInvalidSocket;
  }
}

void CSimpleSocket::MapSocketError() { MapSocketError(port::LastErrno()); }

void CSimpleSocket::MapSocketError(int err) { last_status_ = port::MapSocketErrno(err); }

void CSimpleSocket::FreeReceiveBuffer() {
  receive_buffer_.reset();
  receive_buffer_size_ = 0;
}

bool CSimpleSocket::Initialize() {
  if (IsValid()) Close();
  port::SetErrno(0);
  handle_ = api_->Create();
  MapSocketError();
  return IsValid();
}

bool CSimpleSocket::IsValid() const { return handle_ != port::kInvalidSocket; }

bool CSimpleSocket::Close() {
  FreeReceiveBuffer();
  pending_.clear();
  tls_.reset();
  tls_link_.reset();
  if (!IsValid()) {
    last_status_ = SocketStatus::InvalidSocket;
    return false;
  }
  int r = api_->Close(handle_);
  // A failed close still releases the descriptor here; never close it twice.
  handle_ = port::kInvalidSocket;
  if (r == 0) {
    last_status_ = SocketStatus::Success;
    return true;
  }
  MapSocketError();
  return false;
}

bool CSimpleSocket::Shutdown() {
  if (!IsValid()) {
    last_status_ = SocketStatus::InvalidSocket;
    return false;
  }
  if (!FlushTls()) return false;
  int r = api_->Shutdown(handle_, false);
  if (r == 0) {
    last_status_ = SocketStatus::Success;
    return true;
  }
  MapSocketError();
  return false;
}

bool CSimpleSocket::Select() { return Select(0, 0); }

bool CSimpleSocket::Select(int32_t seconds, int32_t microseconds) {
  if (!IsValid()) {
    last_status_ = SocketStatus::InvalidSocket;
    return false;
  }
  // Whatever waits for the peer's answer sends what TLS held back first.
  if (!FlushTls()) return false;
  int timeout_ms = port::kWaitForever;
  if (seconds > 0 || microseconds > 0) {
    int64_t ms = int64_t{std::max(seconds, 0)} * 1000 + (std::max(microseconds, 0) + 999) / 1000;
    timeout_ms = static_cast<int>(std::min<int64_t>(ms, INT_MAX));
  }
  int r = api_->Poll(handle_, true, true, timeout_ms);
  if (r == 0) {
    last_status_ = SocketStatus::TimedOut;
    return false;
  }
  if (r < 0) {
    MapSocketError();
    return false;
  }
  int err = 0;
  if (api_->PendingError(handle_, &err) != 0) {
    MapSocketError();
    return false;
  }
  MapSocketError(err);
  return err == 0;
}

bool CSimpleSocket::NextWaitSlice(uint64_t start_ms, int timeout_ms, int* slice_ms) {
  int wait_ms = timeout_ms;
  if (timeout_ms >= 0) {
    uint64_t elapsed = port::MonotonicMillis() - start_ms;
    if (elapsed >= static_cast<uint64_t>(timeout_ms)) {
      last_status_ = SocketStatus::TimedOut;
      return false;
    }
    wait_ms = static_cast<int>(timeout_ms - elapsed);
  }
  if (abort_check_) {
    if (abort_check_()) {
      last_status_ = SocketStatus::ConnectionAborted;
      return false;
    }
    if (wait_ms < 0 || wait_ms > kAbortCheckSliceMs) wait_ms = kAbortCheckSliceMs;
  }
  *slice_ms = wait_ms;
  return true;
}

bool CSimpleSocket::WaitReady(bool read, int timeout_ms) {
  const uint64_t start = port::MonotonicMillis();
  for (;;) {
    int wait_ms;
    if (!NextWaitSlice(start, timeout_ms, &wait_ms)) return false;
    int r = api_->Poll(handle_, read, !read, wait_ms);
    if (r > 0) return true;
    if (r < 0) {
      SocketStatus st = port::MapSocketErrno(port::LastErrno());
      if (st == SocketStatus::Interrupted) continue;
      last_status_ = st;
      return false;
    }
  }
}

bool CSimpleSocket::SendRaw(const char* p, size_t length) {
  size_t sent = 0;
  while (sent < length) {
    long n = api_->Send(handle_, p + sent, length - sent);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    SocketStatus st =
        n == 0 ? SocketStatus::ConnectionReset : port::MapSocketErrno(port::LastErrno());
    if (st == SocketStatus::Interrupted) continue;
    if (st == SocketStatus::WouldBlock && WaitReady(false)) continue;
    if (st != SocketStatus::WouldBlock) last_status_ = st;
    return false;
  }
  return true;
}

void CSimpleSocket::NoteTlsFailure() {
  if (last_status_ == SocketStatus::Success) last_status_ = SocketStatus::OtherError;
  if (tls_ && tls_->error() != port::TlsError::Transport) {
    tls_error_ = tls_->error();
    tls_error_text_ = tls_->error_text();
  }
}

int32_t CSimpleSocket::Send(const void* data, size_t length) {
  last_status_ = SocketStatus::Success;
  last_sent_count_ = 0;
  if (!IsValid() || length == 0 || data == nullptr) return 0;
  if (length > static_cast<size_t>(INT32_MAX)) {
    last_status_ = SocketStatus::InvalidPointer;
    last_sent_count_ = -1;
    return -1;
  }
  const bool ok =
      tls_ ? tls_->Write(data, length) : SendRaw(static_cast<const char*>(data), length);
  if (!ok) {
    if (tls_) NoteTlsFailure();
    last_sent_count_ = -1;
    return -1;
  }
  last_status_ = SocketStatus::Success;
  last_sent_count_ = static_cast<int32_t>(length);
  return last_sent_count_;
}

long CSimpleSocket::ReceiveRaw(char* buffer, size_t length, bool no_wait) {
  if (!pending_.empty()) {
    size_t n = std::min(pending_.size(), length);
    std::memcpy(buffer, pending_.data(), n);
    pending_.erase(0, n);
    return static_cast<long>(n);
  }
  for (;;) {
    long n = api_->Receive(handle_, buffer, length, static_cast<int>(receive_flags_));
    if (n >= 0) return n;
    SocketStatus st = port::MapSocketErrno(port::LastErrno());
    if (st == SocketStatus::Interrupted) continue;
    if (st == SocketStatus::WouldBlock && no_wait) return -2;
    if (st == SocketStatus::WouldBlock && WaitReady(true)) continue;
    if (st != SocketStatus::WouldBlock) last_status_ = st;
    return -1;
  }
}

int32_t CSimpleSocket::Receive(int32_t maxBytes) {
  last_received_count_ = 0;
  if (!IsValid()) return 0;
  if (maxBytes <= 0) {
    last_status_ = SocketStatus::InvalidPointer;
    last_received_count_ = -1;
    FreeReceiveBuffer();
    return -1;
  }
  if (receive_buffer_ && maxBytes != receive_buffer_size_) FreeReceiveBuffer();
  if (!receive_buffer_) {
    receive_buffer_ = std::make_unique<char[]>(static_cast<size_t>(maxBytes));
    receive_buffer_size_ = maxBytes;
  }
  last_status_ = SocketStatus::Success;
  long n = tls_ ? tls_->Read(receive_buffer_.get(), static_cast<size_t>(maxBytes))
                : ReceiveRaw(receive_buffer_.get(), static_cast<size_t>(maxBytes));
  if (n >= 0) {
    last_status_ = SocketStatus::Success;
    last_received_count_ = static_cast<int32_t>(n);
    return last_received_count_;
  }
  if (tls_) NoteTlsFailure();
  last_received_count_ = -1;
  FreeReceiveBuffer();
  return -1;
}

bool CSimpleSocket::PeerIsQuiet() {
  // A readable idle connection holds either the peer's close or bytes nobody
  // asked for; neither can carry the next request.
  if (!IsValid() || !pending_.empty()) return false;
  if (api_->Poll(handle_, true, false, 0) == 0) return !tls_ || tls_->Buffered() == 0;
  if (!tls_) return false;
  // Under TLS the server may have sent records of the protocol's own (new
  // session tickets) while the connection was idle: those are read here,
  // without waiting; anything else still means it cannot be used.
  tls_link_->no_wait_ = true;
  const bool quiet = tls_->DrainIdle();
  tls_link_->no_wait_ = false;
  return quiet && api_->Poll(handle_, true, false, 0) == 0;
}

void CSimpleSocket::KeepForNextReceive(std::string_view data) { pending_.append(data); }

bool CSimpleSocket::StartTls(const std::string& host, int32_t port) {
  tls_error_ = port::TlsError::None;
  tls_error_text_.clear();
  if (!IsValid()) {
    last_status_ = SocketStatus::InvalidSocket;
    return false;
  }
  tls_.reset();
  tls_link_ = std::make_unique<TlsLink>(this);
  // The TLS layer hands over whole flights and batches of records; Nagle
  // would only hold back the last part of each until the peer acknowledges
  // the rest.
  api_->SetNoDelay(handle_, true);
  last_status_ = SocketStatus::Success;
  port::TlsError error = port::TlsError::None;
  std::string text;
  tls_ = port::StartTlsClient(tls_link_.get(), host, port, &error, &text);
  if (tls_) return true;
  if (last_status_ == SocketStatus::Success) last_status_ = SocketStatus::OtherError;
  if (error != port::TlsError::Transport) {
    tls_error_ = error;
    tls_error_text_ = text;
  }
  // Nothing may go out unencrypted on a connection that was to be secured.
  const SocketStatus status = last_status_;
  Close();
  last_status_ = status;
  return false;
}

bool CSimpleSocket::FlushTls() {
  if (!tls_ || tls_->Flush()) return true;
  NoteTlsFailure();
  return false;
}

bool CSimpleSocket::Flush() {
  if (!IsValid()) {
    last_status_ = SocketStatus::InvalidSocket;
    return false;
  }
  if (!FlushTls()) return false;
  bool was_on = false;
  if (api_->GetNoDelay(handle_, &was_on) != 0) {
    MapSocketError();
    return false;
  }
  bool result = false;
  if (api_->SetNoDelay(handle_, true) == 0) {
    // Switching Nagle off sends what it held back; the empty send checks the
    // socket is still usable.
    result = Send(nullptr, 0) != -1;
  } else {
    MapSocketError();
  }
  api_->SetNoDelay(handle_, was_on);
  return result;
}

int32_t CSimpleSocket::SendVector(const SendItem* items, int32_t count) {
  last_status_ = SocketStatus::Success;
  int64_t total = 0;
  bool failed = false;
  for (int32_t i = 0; i < count; ++i) {
    int32_t n = Send(items[i].data, items[i].length);
    if (n < 0) {
      failed = true;
      break;
    }
    total += n;
  }
  if (failed || total > INT32_MAX) {
    if (!failed) last_status_ = SocketStatus::InvalidPointer;
    last_sent_count_ = -1;
    return -1;
  }
  if (total > 0) Flush();
  last_sent_count_ = static_cast<int32_t>(total);
  return last_sent_count_;
}

int64_t CSimpleSocket::SendFileRange(std::FILE* in, uint64_t* fileOffset, uint64_t count) {
  if (in == nullptr || fileOffset == nullptr) {
    last_status_ = SocketStatus::InvalidPointer;
    return -1;
  }
  if (!port::Seek64(in, *fileOffset)) {
    last_status_ = SocketStatus::OtherError;
    return -1;
  }
  char block[kFileBlock];
  uint64_t total = 0;
  while (total < count) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(count - total, kFileBlock));
    size_t got = std::fread(block, 1, want, in);
    if (got != want) {
      last_status_ = SocketStatus::OtherError;
      return -1;
    }
    if (Send(block, got) != static_cast<int32_t>(got)) return -1;
    total += got;
  }
  *fileOffset += total;
  last_status_ = SocketStatus::Success;
  return static_cast<int64_t>(total);
}

}  // namespace vexa
