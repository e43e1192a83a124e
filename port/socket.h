#ifndef VEXA_PORT_SOCKET_H_
#define VEXA_PORT_SOCKET_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vexa::port {

// Status of the last socket call. The numbers are fixed (the original platform
// numbered them so); 11, 12 and 13 are never produced.
enum class SocketStatus : int32_t {
  Success = 0,
  InvalidSocket = 1,
  InvalidAddress = 2,
  InvalidPort = 3,
  ConnectionRefused = 4,
  TimedOut = 5,
  WouldBlock = 6,
  NotConnected = 7,
  InProgress = 8,
  Interrupted = 9,
  ConnectionAborted = 10,
  ConnectionReset = 14,
  AddressInUse = 15,
  InvalidPointer = 16,
  OtherError = 17,
};

// Maps an errno value (0 included) onto the statuses above. The one table of
// this mapping.
SocketStatus MapSocketErrno(int err);

using SocketHandle = int;
inline constexpr SocketHandle kInvalidSocket = -1;

// Waits without limit when given as a time-out.
inline constexpr int kWaitForever = -1;

// An IPv4 end point; `address` in host byte order (127.0.0.1 is 0x7f000001).
struct Endpoint {
  uint32_t address = 0;
  uint16_t port = 0;
};

// Every socket call of the system goes through this seam. Each operation
// returns -1 (or false) on failure with the cause left in errno, like the calls
// it wraps, so the callers map errors in one place. Tests derive from
// SocketApiWrapper to inject faults (short sends, refused connects, ...).
//
// Sends never raise SIGPIPE and neither sends nor receives ever block: they
// fail with EAGAIN and the caller waits with Poll, which is how every wait gets
// a time-out.
class SocketApi {
 public:
  virtual ~SocketApi() = default;

  // A blocking-mode IPv4 stream socket (close-on-exec), or kInvalidSocket.
  virtual SocketHandle Create() = 0;
  virtual int Close(SocketHandle s) = 0;
  // Resolves `host` (a name or dotted address) to its IPv4 addresses with the
  // thread-safe resolver. False when it has none; errno is then EHOSTUNREACH
  // for a name that does not resolve.
  virtual bool Resolve(const std::string& host, std::vector<uint32_t>* addresses) = 0;
  // Connects, waiting at most `timeout_ms` (ETIMEDOUT after that). With a
  // time-out of 0 it only starts the connection: -1 with EINPROGRESS means it
  // goes on, and the caller waits with Poll (writable) and then reads
  // PendingError.
  virtual int Connect(SocketHandle s, const Endpoint& to, int timeout_ms) = 0;
  virtual long Send(SocketHandle s, const void* data, size_t length) = 0;
  virtual long Receive(SocketHandle s, void* buffer, size_t length, int flags) = 0;
  // Waits until `s` is readable (`want_read`) and/or writable (`want_write`) or
  // has an error. Returns 1 when ready, 0 on time-out, -1 on failure.
  virtual int Poll(SocketHandle s, bool want_read, bool want_write, int timeout_ms) = 0;
  // Ends the sending direction (`both`: also the receiving one).
  virtual int Shutdown(SocketHandle s, bool both) = 0;
  // The pending error of the socket (SO_ERROR) in `*err`.
  virtual int PendingError(SocketHandle s, int* err) = 0;
  virtual int GetNoDelay(SocketHandle s, bool* on) = 0;
  virtual int SetNoDelay(SocketHandle s, bool on) = 0;
  virtual int LocalEndpoint(SocketHandle s, Endpoint* out) = 0;
  virtual int PeerEndpoint(SocketHandle s, Endpoint* out) = 0;

  // Server side, used by the system's loopback services and the tests: a
  // listening socket on 127.0.0.1 (port 0 picks a free one, reported in
  // `*bound_port`), and accepting one connection within `timeout_ms`.
  virtual SocketHandle Listen(uint16_t port, uint16_t* bound_port) = 0;
  virtual SocketHandle Accept(SocketHandle listener, int timeout_ms) = 0;
};

// The operating system's sockets. Never null; lives for the whole process.
SocketApi* DefaultSocketApi();

// Forwards every call to another SocketApi, so a test overrides only the call
// it wants to disturb.
class SocketApiWrapper : public SocketApi {
 public:
  explicit SocketApiWrapper(SocketApi* target) : target_(target) {}

  SocketHandle Create() override { return target_->Create(); }
  int Close(SocketHandle s) override { return target_->Close(s); }
  bool Resolve(const std::string& host, std::vector<uint32_t>* addresses) override {
    return target_->Resolve(host, addresses);
  }
  int Connect(SocketHandle s, const Endpoint& to, int timeout_ms) override {
    return target_->Connect(s, to, timeout_ms);
  }
  long Send(SocketHandle s, const void* data, size_t length) override {
    return target_->Send(s, data, length);
  }
  long Receive(SocketHandle s, void* buffer, size_t length, int flags) override {
    return target_->Receive(s, buffer, length, flags);
  }
  int Poll(SocketHandle s, bool want_read, bool want_write, int timeout_ms) override {
    return target_->Poll(s, want_read, want_write, timeout_ms);
  }
  int Shutdown(SocketHandle s, bool both) override { return target_->Shutdown(s, both); }
  int PendingError(SocketHandle s, int* err) override { return target_->PendingError(s, err); }
  int GetNoDelay(SocketHandle s, bool* on) override { return target_->GetNoDelay(s, on); }
  int SetNoDelay(SocketHandle s, bool on) override { return target_->SetNoDelay(s, on); }
  int LocalEndpoint(SocketHandle s, Endpoint* out) override {
    return target_->LocalEndpoint(s, out);
  }
  int PeerEndpoint(SocketHandle s, Endpoint* out) override { return target_->PeerEndpoint(s, out); }
  SocketHandle Listen(uint16_t port, uint16_t* bound_port) override {
    return target_->Listen(port, bound_port);
  }
  SocketHandle Accept(SocketHandle listener, int timeout_ms) override {
    return target_->Accept(listener, timeout_ms);
  }

 protected:
  SocketApi* target() const { return target_; }

 private:
  SocketApi* target_;
};

// errno of the calling thread (read and set), so code outside port/ needs no
// OS header to inspect or fake it.
int LastErrno();
void SetErrno(int err);

// Named errno values that callers and fakes outside port/ need.
extern const int kErrTimedOut;
extern const int kErrConnectionReset;
extern const int kErrConnectionRefused;
extern const int kErrWouldBlock;
extern const int kErrInterrupted;
extern const int kErrBrokenPipe;
extern const int kErrHostUnreachable;
extern const int kErrConnectionAborted;
extern const int kErrInProgress;

}  // namespace vexa::port

#endif  // VEXA_PORT_SOCKET_H_
