#include "net/active_socket.h"

#include <vector>

namespace vexa {

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
  std::vector<uint32_t> addresses;
  if (*host == '\0' || !api_->Resolve(host, &addresses) || addresses[0] == 0xffffffffu) {
    last_status_ = SocketStatus::InvalidAddress;
    return false;
  }
  port::Endpoint to;
  to.address = addresses[0];
  to.port = port;
  // Start the connection and wait for it here, so the wait has both the
  // connect time-out and the abort check.
  if (api_->Connect(handle_, to, 0) != 0) {
    if (port::LastErrno() != port::kErrInProgress) {
      MapSocketError();
      return false;
    }
    if (!WaitReady(false, connect_timeout_ms())) return false;
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
