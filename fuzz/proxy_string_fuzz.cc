// Proxy strings from the settings and from the environment: never a crash,
// always a port that fits 16 bits, an environment string that parses back to
// what it says, and a reason for every proxy setting that cannot be used.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "net/proxy_config.h"
#include "port/proxy_settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  vexa::CProxySocket socket;
  if (!vexa::ParseProxyString(text, socket)) std::abort();
  if (socket.proxyPort < 0 || socket.proxyPort > 65535) std::abort();
  if (socket.proxyType < vexa::ProxyHttp || socket.proxyType > vexa::ProxyUnknown) std::abort();

  // Split the input into the three variables and a target host.
  vexa::port::ProxyEnvironment env;
  std::string parts[4];
  int k = 0;
  for (char c : text) {
    if (c == '\n' && k < 3) {
      ++k;
    } else {
      parts[k].push_back(c);
    }
  }
  env.http_proxy = parts[0];
  env.all_proxy = parts[1];
  env.no_proxy = parts[2];
  std::string out;
  vexa::port::ProxyLookup found = vexa::port::ManualProxyString(env, parts[3], &out);
  // A proxy that cannot be used must say why (and never look like none).
  if (found == vexa::port::ProxyLookup::kUnusable && out.empty()) std::abort();
  if (found == vexa::port::ProxyLookup::kFound) {
    vexa::CProxySocket again;
    vexa::ParseProxyString(out, again);
    if (again.proxyPort < 1 || again.proxyHost.empty()) std::abort();
    if (again.proxyType != vexa::ProxyHttp && again.proxyType != vexa::ProxySocks4 &&
        again.proxyType != vexa::ProxySocks5) {
      std::abort();
    }
  }
  return 0;
}
