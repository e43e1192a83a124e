#ifndef VEXA_APPS_BRIDGE_ORIGIN_POLICY_H_
#define VEXA_APPS_BRIDGE_ORIGIN_POLICY_H_

// The bridge's form of scripting safety: only pages of a registered origin
// may create the control, and only once the control has agreed to be scripted
// by untrusted callers with untrusted data, as an embedding browser asks.

#include <string>
#include <string_view>
#include <vector>

#include "control/method_table.h"

namespace vexa::bridge {

// "HTTP://Example.COM:80/" -> "http://example.com": lower-case scheme and
// host, no default port, no trailing slash. Empty for anything that is not an
// http or https origin: a page's "null" origin, a file URL, a URL with a path,
// user info, query or fragment.
std::string NormalizeOrigin(std::string_view url);

// Whether pages of `origin` (normalised) are safe to register: https, or
// plain http on a loopback host. A plain-http page of another host can be
// rewritten by anyone on the network path, who then scripts the control.
bool IsTrustworthyOrigin(const std::string& origin);

class OriginPolicy {
 public:
  explicit OriginPolicy(const std::vector<std::string>& origins);

  // Whether a page whose Origin header is `origin` may create and script the
  // control. A missing or empty Origin never may.
  bool Allows(std::string_view origin) const;

 private:
  std::vector<std::string> origins_;  // normalised
};

// Asks a new control's safety options for what a page's script needs, both
// untrusted caller and untrusted data, as an embedding browser does before
// the first call. False when the control does not grant them.
bool GrantScripting(ObjectSafety* safety);

}  // namespace vexa::bridge

#endif  // VEXA_APPS_BRIDGE_ORIGIN_POLICY_H_
