#include "net/connect_to_server.h"

#include "net/console_trace.h"
#include "net/http_client.h"
#include "net/proxy_config.h"
#include "net/proxy_handshake.h"
#include "port/debug.h"

namespace vexa {

bool ConnectToServer(const HttpClient& client, CProxySocket& socket, const std::string& host,
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
    return socket.Open(host, target_port);
  }
  if (found == port::ProxyLookup::kUnusable) {
    // The user asked for a proxy: going direct instead would bypass it, so
    // this fails as an unreachable proxy does.
    port::DebugOut("PROXY UNUSABLE: " + problem + "\n");
    ConsoleTrace(client, trace_text::kStep2);
    ConsoleTrace(client, trace_text::kProxyFailed);
    return false;
  }
  if (client.consoleTrace) {
    ConsoleTrace(client, std::string(trace_text::kProxyType) + ProxyTypeName(socket.proxyType) + "\n");
    ConsoleTrace(client, std::string(trace_text::kProxyAddress) + socket.proxyHost + ":" +
                             std::to_string(socket.proxyPort) + "\n");
  }
  ConsoleTrace(client, trace_text::kStep2);
  bool ok = target_port != 0 && ConnectViaProxy(socket, host, target_port);
  ConsoleTrace(client, ok ? trace_text::kProxyOk : trace_text::kProxyFailed);
  return ok;
}

}  // namespace vexa
