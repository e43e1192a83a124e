#ifndef VEXA_SERVER_CONNECTION_ABORT_H_
#define VEXA_SERVER_CONNECTION_ABORT_H_

#include <string>

namespace vexa::server {

// Resets the TCP connection of this process whose local port is `local_port`
// and whose peer is `remote_addr`:`remote_port`, as a network failure would:
// the peer's next send or receive fails. Used to inject dropped connections.
// False when no such connection is open.
bool AbortConnection(const std::string& remote_addr, int remote_port, int local_port);

}  // namespace vexa::server

#endif  // VEXA_SERVER_CONNECTION_ABORT_H_
