#ifndef VEXA_PORT_PROXY_SETTINGS_H_
#define VEXA_PORT_PROXY_SETTINGS_H_

#include <string>
#include <utility>

namespace vexa::port {

// The proxy variables of a user's environment.
struct ProxyEnvironment {
  std::string http_proxy;  // http_proxy, else HTTP_PROXY
  std::string all_proxy;   // all_proxy, else ALL_PROXY
  std::string no_proxy;    // no_proxy, else NO_PROXY
};

// Reads the variables above from the process environment.
ProxyEnvironment ReadProxyEnvironment();

// The current user's manual proxy for a connection to `target_host`, in the
// proxy-string form "scheme=host:port": "http=host:port" from the HTTP proxy
// variable, else from the all-protocols variable "socks=host:port" (socks4,
// socks4a), "socks5=host:port" (socks5, socks5h) or "http=host:port" (http or
// no scheme). A missing port is 1080. False when no proxy is set, when its
// scheme is one we cannot speak, or when `target_host` matches `no_proxy`
// ("*", a host, or a domain suffix with or without a leading dot).
bool ManualProxyString(const ProxyEnvironment& env, const std::string& target_host,
                       std::string* out);

// The same for the process environment, read anew at every call.
bool CurrentUserProxyString(const std::string& target_host, std::string* out);

// Makes CurrentUserProxyString read `env` instead of the process environment
// (tests); null restores the environment. Not for use while requests run.
void SetProxyEnvironmentForTesting(const ProxyEnvironment* env);

// Points the user's proxy setting at the given variables for one scope (tests).
class ProxyEnvironmentScopeForTesting {
 public:
  ProxyEnvironmentScopeForTesting(std::string http_proxy, std::string all_proxy,
                                  std::string no_proxy = "")
      : env_{std::move(http_proxy), std::move(all_proxy), std::move(no_proxy)} {
    SetProxyEnvironmentForTesting(&env_);
  }
  ~ProxyEnvironmentScopeForTesting() { SetProxyEnvironmentForTesting(nullptr); }
  ProxyEnvironmentScopeForTesting(const ProxyEnvironmentScopeForTesting&) = delete;
  ProxyEnvironmentScopeForTesting& operator=(const ProxyEnvironmentScopeForTesting&) = delete;

 private:
  const ProxyEnvironment env_;
};

}  // namespace vexa::port

#endif  // VEXA_PORT_PROXY_SETTINGS_H_
