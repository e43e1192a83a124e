#ifndef VEXA_NET_SIMPLE_SOCKET_H_
#define VEXA_NET_SIMPLE_SOCKET_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "port/socket.h"
#include "port/tls.h"

namespace vexa {

using port::SocketStatus;

// One piece of a vectored send.
struct SendItem {
  const void* data;
  size_t length;
};

// A blocking-style IPv4 stream socket: the handle, the status of the last call,
// the receive buffer and the send and receive operations. Every wait has a
// time-out (connect: `connect_timeout_ms`, every send or receive wait:
// `idle_timeout_ms`), so a dead peer fails the call instead of hanging it.
//
// Not thread-safe: a socket belongs to the thread that makes the request. The
// abort check (if set) is called from that thread while it waits.
class CSimpleSocket {
 public:
  static constexpr int kDefaultConnectTimeoutMs = 30000;
  static constexpr int kDefaultIdleTimeoutMs = 120000;

  // `api` is the socket seam (tests pass a fault-injecting one); it must
  // outlive the socket and any name resolution the socket started (a resolver
  // that overran its time-out finishes on its own thread).
  explicit CSimpleSocket(port::SocketApi* api = port::DefaultSocketApi());
  CSimpleSocket(const CSimpleSocket&) = delete;
  CSimpleSocket& operator=(const CSimpleSocket&) = delete;
  // Frees the buffer and closes the handle if it is still open.
  virtual ~CSimpleSocket();

  // Creates the socket (closing one this object still held). True when the
  // handle is valid.
  virtual bool Initialize();
  // Frees the receive buffer and closes the handle; true when a valid handle
  // was closed.
  virtual bool Close();
  // Ends the sending direction.
  virtual bool Shutdown();
  // Waits until the socket is readable or writable with no pending error, at
  // most the given time; both 0 waits without limit. TimedOut on expiry.
  virtual bool Select(int32_t seconds, int32_t microseconds);
  virtual bool Select();
  virtual bool IsValid() const;
  // Receives up to `maxBytes` bytes into receive_buffer(): the count, 0 when
  // the peer closed (or the socket is not valid), -1 on error or time-out (the
  // buffer is then freed). A buffer of the same size is reused.
  virtual int32_t Receive(int32_t maxBytes);
  // Sends the pieces in order, then flushes. The total, or -1 when a piece
  // failed.
  virtual int32_t SendVector(const SendItem* items, int32_t count);
  // Sends all `length` bytes (looping over partial sends, waiting for room at
  // most the idle time-out each time). `length` on success, 0 when there was
  // nothing to send or no socket, -1 on error.
  virtual int32_t Send(const void* data, size_t length);
  int32_t Send(std::string_view data) { return Send(data.data(), data.size()); }
  // Sends `count` bytes of `in` from `*fileOffset` in blocks of 8192 bytes and
  // advances `*fileOffset` by `count`. The total, or -1 on a seek, read or send
  // failure (the offset is then left alone: the peer's state is unknown).
  virtual int64_t SendFileRange(std::FILE* in, uint64_t* fileOffset, uint64_t count);
  // Pushes out data the Nagle algorithm (or, under TLS, the batching of
  // records) holds back. A receive, Select and Shutdown do so first as well.
  bool Flush();

  // For a connection kept between requests: true while the peer has neither
  // closed it nor sent anything unasked (checked without waiting).
  bool PeerIsQuiet();

  // Bytes that arrived from the peer but belong to the caller (read past the
  // end of a proxy answer): the next receives return them first.
  void KeepForNextReceive(std::string_view data);

  // Runs a TLS client handshake with `host` (checked against its certificate)
  // on the connected socket, inside any proxy tunnel already made; `port` only
  // keys session resumption. From then on every send and receive is
  // encrypted, with the same time-outs and abort check. On failure the status
  // is the transport's (time-out, abort, reset) or OtherError for a refused
  // certificate or a failed negotiation, and tls_error_text() says why.
  bool StartTls(const std::string& host, int32_t port);
  bool IsTls() const { return tls_ != nullptr; }
  port::TlsError tls_error() const { return tls_error_; }
  const std::string& tls_error_text() const { return tls_error_text_; }

  void SetTimeouts(int connect_timeout_ms, int idle_timeout_ms) {
    connect_timeout_ms_ = connect_timeout_ms;
    idle_timeout_ms_ = idle_timeout_ms;
  }
  int connect_timeout_ms() const { return connect_timeout_ms_; }
  int idle_timeout_ms() const { return idle_timeout_ms_; }
  // Called about every 100 ms while a name resolution, connect, send or
  // receive waits; returning true ends the wait with ConnectionAborted (a
  // stopped transfer ends promptly).
  void SetAbortCheck(std::function<bool()> check) { abort_check_ = std::move(check); }

  SocketStatus last_status() const { return last_status_; }
  const char* receive_buffer() const { return receive_buffer_.get(); }
  int32_t receive_buffer_size() const { return receive_buffer_size_; }
  int32_t last_received_count() const { return last_received_count_; }
  int32_t last_sent_count() const { return last_sent_count_; }
  uint32_t receive_flags() const { return receive_flags_; }
  void set_receive_flags(uint32_t flags) { receive_flags_ = flags; }
  port::SocketHandle handle() const { return handle_; }
  const port::Endpoint& server_address() const { return server_address_; }
  const port::Endpoint& client_address() const { return client_address_; }
  void FreeReceiveBuffer();

 protected:
  // Sets last_status() from errno.
  void MapSocketError();
  void MapSocketError(int err);
  // Waits until the socket can be read (`read`) or written, within
  // `timeout_ms` (negative: without limit). False with the status set on
  // time-out, abort or error.
  bool WaitReady(bool read, int timeout_ms);
  bool WaitReady(bool read) { return WaitReady(read, idle_timeout_ms_); }
  // One step of a wait that began at `start_ms` (MonotonicMillis) and may last
  // `timeout_ms` (negative: without limit): false with the status set when the
  // time is up or the abort check says stop; else the time to wait next in
  // `*slice_ms` (negative: without limit), short enough that the abort check
  // runs again in time.
  bool NextWaitSlice(uint64_t start_ms, int timeout_ms, int* slice_ms);
  // The unencrypted stream under TLS (or the only one): all of `length` bytes
  // sent, or false with the status set.
  bool SendRaw(const char* data, size_t length);
  // Up to `length` bytes, the kept ones first: the count, 0 when the peer
  // closed, -1 with the status set on failure, -2 (with `no_wait`) when
  // nothing has arrived.
  long ReceiveRaw(char* buffer, size_t length, bool no_wait = false);
  // Notes a failure of the TLS layer; the status stays the transport's when it
  // set one.
  void NoteTlsFailure();
  // Sends the records the TLS layer held back (true without TLS).
  bool FlushTls();

  port::SocketApi* api_;
  port::SocketHandle handle_ = port::kInvalidSocket;
  SocketStatus last_status_ = SocketStatus::InvalidSocket;
  std::unique_ptr<char[]> receive_buffer_;
  int32_t receive_buffer_size_ = 0;
  int32_t last_received_count_ = -1;
  int32_t last_sent_count_ = -1;
  uint32_t receive_flags_ = 0;
  port::Endpoint server_address_;
  port::Endpoint client_address_;

 private:
  int connect_timeout_ms_ = kDefaultConnectTimeoutMs;
  int idle_timeout_ms_ = kDefaultIdleTimeoutMs;
  std::function<bool()> abort_check_;
  std::string pending_;
  class TlsLink;
  std::unique_ptr<TlsLink> tls_link_;
  std::unique_ptr<port::TlsSession> tls_;
  port::TlsError tls_error_ = port::TlsError::None;
  std::string tls_error_text_;
};

}  // namespace vexa

#endif  // VEXA_NET_SIMPLE_SOCKET_H_
