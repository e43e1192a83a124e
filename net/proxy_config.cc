#include "net/proxy_config.h"

#include "codec/text.h"

namespace vexa {

bool ParseProxyString(std::string_view text, CProxySocket& socket) {
  std::string_view entry = TrimBlanks(text.substr(0, text.find(';')));
  std::string_view scheme;
  std::string_view address = entry;
  size_t eq = entry.find('=');
  if (eq != std::string_view::npos) {
    scheme = TrimBlanks(entry.substr(0, eq));
    address = TrimBlanks(entry.substr(eq + 1));
  }
  std::string lower = ToLower(scheme);
  if (lower == "socks") {
    socket.proxyType = ProxySocks4;
  } else if (lower == "socks5") {
    socket.proxyType = ProxySocks5;
  } else if (lower == "http") {
    socket.proxyType = ProxyHttp;
  } else {
    socket.proxyType = ProxyUnknown;
  }
  // Some settings write the proxy as a URL ("http=http://host:port").
  size_t sep = address.find("://");
  if (sep != std::string_view::npos) address.remove_prefix(sep + 3);
  size_t colon = address.find(':');
  socket.proxyHost = std::string(address.substr(0, colon));
  socket.proxyPort = 0;
  if (colon != std::string_view::npos) {
    int32_t port = 0;
    for (size_t i = colon + 1; i < address.size() && address[i] >= '0' && address[i] <= '9'; ++i) {
      port = port * 10 + (address[i] - '0');
      if (port > 65535) {
        port = 0;
        break;
      }
    }
    socket.proxyPort = port;
  }
  socket.proxyUser.clear();
  socket.proxyPassword.clear();
  return true;
}

port::ProxyLookup DetectSystemProxy(CProxySocket& socket, const std::string& target_host,
                                    std::string* problem) {
  std::string text;
  port::ProxyLookup found = port::CurrentUserProxyString(target_host, &text);
  if (found == port::ProxyLookup::kFound) {
    ParseProxyString(text, socket);
  } else if (found == port::ProxyLookup::kUnusable && problem != nullptr) {
    *problem = text;
  }
  return found;
}

}  // namespace vexa
