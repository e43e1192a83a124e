#include <windows.h>
#include <winhttp.h>

#include "port/proxy_settings.h"
#include "port/win32/wide_path.h"

namespace vexa::port {

ProxyLookup SystemProxyString(const std::string&, std::string* out) {
  out->clear();
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config = {};
  if (!::WinHttpGetIEProxyConfigForCurrentUser(&config)) return ProxyLookup::kNone;
  // Only the manual proxy string counts; automatic configuration is not read.
  if (config.lpszProxy != nullptr) *out = Narrow(config.lpszProxy);
  for (LPWSTR s : {config.lpszProxy, config.lpszProxyBypass, config.lpszAutoConfigUrl}) {
    if (s != nullptr) ::GlobalFree(s);
  }
  return out->empty() ? ProxyLookup::kNone : ProxyLookup::kFound;
}

}  // namespace vexa::port
