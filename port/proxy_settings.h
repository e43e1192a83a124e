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

// What the user's settings say about the proxy of one connection.
enum class ProxyLookup {
  kNone,      // no proxy for this host: connect directly
  kFound,     // a proxy we can speak to
  kUnusable,  // a proxy is set but we cannot read or speak it: the connection
              // must fail, never go direct behind the user's back
};

// The current user's manual proxy for a connection to `target_host`, in the
// proxy-string form "scheme=host:port". The HTTP proxy variable decides when
// it is set, else the all-protocols one. Its scheme gives the kind: http or
// none "http=", socks4 and socks4a "socks=", socks5, socks5h and socks
// "socks5="; a missing port is 1080; user information is ignored. kNone when
// neither variable is set or `target_host` matches `no_proxy` ("*", a host, or
// a domain suffix with or without a leading dot). kUnusable for any other
// scheme (https included), a port that is not a number in 1..65535, an empty
// host, an IPv6 literal or a host with characters no host name has; `*out`
// then says what is wrong, for diagnostics.
ProxyLookup ManualProxyString(const ProxyEnvironment& env, const std::string& target_host,
                              std::string* out);

// The current user's proxy setting, read anew at every call: the variables set
// for testing when there are, else SystemProxyString.
ProxyLookup CurrentUserProxyString(const std::string& target_host, std::string* out);

// The platform's own setting. POSIX: the process environment, as above.
// Windows: the manual proxy string of the user's Internet Options, passed on as
// it stands (kNone when there is none).
ProxyLookup SystemProxyString(const std::string& target_host, std::string* out);

// Makes CurrentUserProxyString read `env` instead of the process environment
// (tests); null restores the environment. Not for use while requests run.
void TEST_SetProxyEnvironment(const ProxyEnvironment* env);

// Points the user's proxy setting at the given variables for one scope (tests).
class ProxyEnvironmentScopeForTesting {
 public:
  ProxyEnvironmentScopeForTesting(std::string http_proxy, std::string all_proxy,
                                  std::string no_proxy = "")
      : env_{std::move(http_proxy), std::move(all_proxy), std::move(no_proxy)} {
    TEST_SetProxyEnvironment(&env_);
  }
  ~ProxyEnvironmentScopeForTesting() { TEST_SetProxyEnvironment(nullptr); }
  ProxyEnvironmentScopeForTesting(const ProxyEnvironmentScopeForTesting&) = delete;
  ProxyEnvironmentScopeForTesting& operator=(const ProxyEnvironmentScopeForTesting&) = delete;

 private:
  const ProxyEnvironment env_;
};

}  // namespace vexa::port

#endif  // VEXA_PORT_PROXY_SETTINGS_H_
