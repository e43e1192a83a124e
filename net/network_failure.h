#ifndef VEXA_NET_NETWORK_FAILURE_H_
#define VEXA_NET_NETWORK_FAILURE_H_

#include <string>

#include "port/socket.h"

namespace vexa {

// Why the latest request of this process could not reach its server, in words
// a person can act on: the address and the cause, such as
// "127.0.0.1:9: connection refused" or "proxy 10.0.0.1:3128 refused the
// connection to example.com:80". The codes of a failed upload or login say
// only that the network failed; hosts show this beside them.

// "connection refused", "timed out", "name not found", ...
const char* SocketFailureCause(port::SocketStatus status);

// Records a failure (also written to the debug output); a connection that
// succeeds clears it.
void NoteNetworkFailure(const std::string& text);
void ClearNetworkFailure();

// The latest failure, or empty when the latest connection succeeded.
std::string LastNetworkFailure();

// Records a connection refused for its security (the server's certificate,
// or no common TLS version): trying again cannot help, so the requests of the
// calling thread that failed on it are not retried as network failures are.
// A connection of the thread that succeeds clears it.
void NoteSecurityRefusal(const std::string& text);
// Whether the latest connection of the calling thread was refused so.
bool LastConnectionRefusedForSecurity();

}  // namespace vexa

#endif  // VEXA_NET_NETWORK_FAILURE_H_
