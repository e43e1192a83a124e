#include "port/proxy_settings.h"

namespace vexa::port {

ProxyLookup SystemProxyString(const std::string& target_host, std::string* out) {
  return ManualProxyString(ReadProxyEnvironment(), target_host, out);
}

}  // namespace vexa::port
