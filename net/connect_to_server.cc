#include "net/connect_to_server.h"

#include "net/console_trace.h"
#include "net/http_client.h"
#include "net/proxy_config.h"
#include "net/proxy_handshake.h"

namespace vexa {

bool ConnectToServer(const HttpClient& client, CProxySocket& socket, const std::string& host,
                     int32_t port) {
  ConsoleTrace(client, trace_text::kBanner);
  ConsoleTrace(client, trace_text::kStep1);
  // Port 0 makes Open report InvalidPort; so does any value that is no port.
  const uint16_t target_port = (port > 0 && port <= 65535) ? static_cast<uint16_t>(port) : 0;
  if (!client.useSystemProxy || !DetectSystemProxy(socket, host)) {
    ConsoleTrace(client, trace_text::kNoProxy);
    return socket.Open(host, target_port);
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
