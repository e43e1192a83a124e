#include "net/connect_to_server.h"

#include "net/console_trace.h"
#include "net/http_client.h"
#include "net/network_failure.h"
#include "net/proxy_config.h"
#include "net/proxy_handshake.h"
#include "port/debug.h"

namespace vexa {
namespace {

std::string AddressText(const std::string& host, int32_t port) {
  return host + ":" + std::to_string(port);
}

// Records what the failed connection of `socket` to host:port ran into.
void NoteConnectFailure(const CProxySocket& socket, const std::string& host, int32_t port,
                        bool via_proxy) {
  const std::string target = AddressText(host, port);
  if (!via_proxy) {
    NoteNetworkFailure(target + ": " + SocketFailureCause(socket.last_status()));
    return;
  }
  const std::string proxy = "proxy " + AddressText(socket.proxyHost, socket.proxyPort);
  // An open connection to the proxy means its handshake failed: the proxy said no.
  if (socket.server_address().port != 0) {
    NoteNetworkFailure(proxy + " refused the connection to " + target);
  } else {
    NoteNetworkFailure(proxy + ": " + SocketFailureCause(socket.last_status()) +
                       " (connecting to " + target + ")");
  }
}

// Secures a connected socket; records why that failed.
bool StartTlsOn(CProxySocket& socket, const std::string& host, int32_t port) {
  if (socket.StartTls(host, port)) return true;
  if (socket.tls_error() != port::TlsError::None) {
    NoteSecurityRefusal(socket.tls_error_text());
  } else {
    NoteNetworkFailure(AddressText(host, port) + ": " + SocketFailureCause(socket.last_status()) +
                       " (during the TLS handshake)");
  }
  return false;
}

bool ConnectPlain(const HttpClient& client, CProxySocket& socket, const std::string& host,
                  int32_t port);

}  // namespace

bool ConnectToServer(const HttpClient& client, CProxySocket& socket, const std::string& host,
                     int32_t port, bool tls) {
  if (!ConnectPlain(client, socket, host, port)) return false;
  return !tls || StartTlsOn(socket, host, port);
}

namespace {

bool ConnectPlain(const HttpClient& client, CProxySocket& socket, const std::string& host,
                  int32_t port) {
  ConsoleTrace(client, trace_text::kBanner);
  ConsoleTrace(client, trace_text::kStep1);
  // Port 0 makes Open report InvalidPort; so does any value that is no port.
  const uint16_t target_port = (port > 0 && port <= 65535) ? static_cast<uint16_t>(port) : 0;
  std::string problem;
  const port::ProxyLookup found =
      client.useSystemProxy ? DetectSystemProxy(socket, host, &problem) : port::ProxyLookup::kNone;
  if (found == port::ProxyLookup::kNone) {
    ConsoleTrace(client, trace_text::kNoProxy);
    const bool opened = socket.Open(host, target_port);
    if (opened) {
      ClearNetworkFailure();
    } else {
      NoteConnectFailure(socket, host, port, false);
    }
    return opened;
  }
  if (found == port::ProxyLookup::kUnusable) {
    // The user asked for a proxy: going direct instead would bypass it, so
    // this fails as an unreachable proxy does.
    port::DebugOut("PROXY UNUSABLE: " + problem + "\n");
    NoteNetworkFailure("the proxy setting cannot be used: " + problem);
    ConsoleTrace(client, trace_text::kStep2);
    ConsoleTrace(client, trace_text::kProxyFailed);
    return false;
  }
  if (client.consoleTrace) {
    ConsoleTrace(client,
                 std::string(trace_text::kProxyType) + ProxyTypeName(socket.proxyType) + "\n");
    ConsoleTrace(client, std::string(trace_text::kProxyAddress) + socket.proxyHost + ":" +
                             std::to_string(socket.proxyPort) + "\n");
  }
  ConsoleTrace(client, trace_text::kStep2);
  bool ok = target_port != 0 && ConnectViaProxy(socket, host, target_port);
  ConsoleTrace(client, ok ? trace_text::kProxyOk : trace_text::kProxyFailed);
  if (ok) {
    ClearNetworkFailure();
  } else {
    NoteConnectFailure(socket, host, port, true);
  }
  return ok;
}

}  // namespace
}  // namespace vexa
