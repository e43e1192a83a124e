#ifndef VEXA_NET_ACTIVE_SOCKET_H_
#define VEXA_NET_ACTIVE_SOCKET_H_

#include <cstdint>
#include <string>
#include <vector>

#include "net/simple_socket.h"

namespace vexa {

// A socket that connects to a named host.
class CActiveSocket : public CSimpleSocket {
 public:
  explicit CActiveSocket(port::SocketApi* api = port::DefaultSocketApi()) : CSimpleSocket(api) {}
  ~CActiveSocket() override = default;

  // Resolves `host` (name or dotted address) and connects to its first IPv4
  // address; resolving and connecting together take at most the connect
  // time-out (TimedOut) and end when the abort check says so
  // (ConnectionAborted). Refuses, before any traffic, an invalid socket
  // (InvalidSocket), a null host (InvalidAddress) and port 0 (InvalidPort); a
  // host that does not resolve gives InvalidAddress.
  virtual bool Open(const char* host, uint16_t port);
  bool Open(const std::string& host, uint16_t port) { return Open(host.c_str(), port); }

 private:
  // Resolves `host` within what is left of the connect time-out begun at
  // `start_ms`.
  bool ResolveHost(const char* host, uint64_t start_ms, std::vector<uint32_t>* addresses);
};

}  // namespace vexa

#endif  // VEXA_NET_ACTIVE_SOCKET_H_
