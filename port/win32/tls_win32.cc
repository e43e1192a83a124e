// TLS is not built for Windows yet: https:// addresses stay refused there
// before any connection is made.
#include "port/tls.h"

namespace vexa::port {

bool TlsAvailable() { return false; }

std::unique_ptr<TlsSession> StartTlsClient(TlsTransport*, const std::string& host, int, TlsError* error,
                                           std::string* text) {
  *error = TlsError::Protocol;
  *text = "TLS to " + host + " is not available in this build";
  return nullptr;
}

}  // namespace vexa::port
