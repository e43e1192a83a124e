#ifndef VEXA_CONTROL_SCRIPT_ORIGIN_H_
#define VEXA_CONTROL_SCRIPT_ORIGIN_H_

// Origins of the pages that may script the control: their one normal form,
// the origin of a page's address, and which of them are safe to register.
// Every host that runs page script (the bridge, the COM control) decides with
// these, so a page is let in or kept out the same way everywhere.

#include <string>
#include <string_view>
#include <vector>

namespace vexa {

// "HTTP://Example.COM:80/" -> "http://example.com": lower-case scheme and
// host, no default port, no trailing slash. Empty for anything that is not an
// http or https origin: a page's "null" origin, a file URL, a URL with a path,
// user info, query or fragment.
std::string NormalizeOrigin(std::string_view url);

// The origin of a page's address ("https://a.example/x/y.html?q#f" ->
// "https://a.example"); empty when the address has none (file:, about:,
// user info, a malformed host).
std::string OriginOfUrl(std::string_view url);

// Whether `host` names a loopback address: "localhost", 127.0.0.0/8 in
// dotted-quad form, or the IPv6 loopback in any of its spellings (without
// brackets).
bool IsLoopbackHost(std::string_view host);

// Whether pages of `origin` (normalised) are safe to register: https, or
// plain http on a loopback host. A plain-http page of another host can be
// rewritten by anyone on the network path, who then scripts the control.
bool IsTrustworthyOrigin(const std::string& origin);

class OriginPolicy {
 public:
  explicit OriginPolicy(const std::vector<std::string>& origins);

  // Whether a page whose origin is `origin` may create and script the
  // control. A missing or empty origin never may.
  bool Allows(std::string_view origin) const;

 private:
  std::vector<std::string> origins_;  // normalised
};

}  // namespace vexa

#endif  // VEXA_CONTROL_SCRIPT_ORIGIN_H_
