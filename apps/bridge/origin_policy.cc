#include "apps/bridge/origin_policy.h"

#include <algorithm>

#include "apps/bridge/bridge_server.h"
#include "codec/text.h"

namespace vexa::bridge {

namespace {

bool IsHostChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '[' || c == ']' ||
         c == ':';
}

}  // namespace

std::string NormalizeOrigin(std::string_view url) {
  std::string text = ToLower(url);
  std::string scheme;
  if (text.rfind("http://", 0) == 0) {
    scheme = "http";
  } else if (text.rfind("https://", 0) == 0) {
    scheme = "https";
  } else {
    return std::string();
  }
  std::string authority = text.substr(scheme.size() + 3);
  if (!authority.empty() && authority.back() == '/') authority.pop_back();
  if (authority.empty() || !std::all_of(authority.begin(), authority.end(), IsHostChar)) return std::string();
  // The port is what follows the last ':' outside an IPv6 literal's brackets.
  const size_t close = authority.rfind(']');
  const size_t colon = authority.rfind(':');
  std::string host = authority, port;
  if (colon != std::string::npos && (close == std::string::npos || colon > close)) {
    host = authority.substr(0, colon);
    port = authority.substr(colon + 1);
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) {
      return std::string();
    }
    const uint64_t number = ParseU64(port);
    if (number == 0 || number > 65535) return std::string();
    port = FormatU64(number);
  }
  if (host.empty()) return std::string();
  const bool bracketed = host.front() == '[' && host.back() == ']';
  if (bracketed != (close != std::string::npos) || (!bracketed && host.find(':') != std::string::npos)) {
    return std::string();
  }
  if ((scheme == "http" && port == "80") || (scheme == "https" && port == "443")) port.clear();
  return scheme + "://" + host + (port.empty() ? "" : ":" + port);
}

bool IsTrustworthyOrigin(const std::string& origin) {
  if (origin.rfind("https://", 0) == 0) return true;
  if (origin.rfind("http://", 0) != 0) return false;
  std::string host = origin.substr(7);
  const size_t close = host.rfind(']');
  const size_t colon = host.rfind(':');
  if (colon != std::string::npos && (close == std::string::npos || colon > close)) host.resize(colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  return IsLoopbackHost(host);
}

OriginPolicy::OriginPolicy(const std::vector<std::string>& origins) {
  for (const std::string& o : origins) {
    std::string n = NormalizeOrigin(o);
    if (!n.empty()) origins_.push_back(std::move(n));
  }
}

bool OriginPolicy::Allows(std::string_view origin) const {
  const std::string n = NormalizeOrigin(origin);
  return !n.empty() && std::find(origins_.begin(), origins_.end(), n) != origins_.end();
}

bool GrantScripting(ObjectSafety* safety) {
  if (safety->SetOptions(true, kSupportedSafety, kSupportedSafety) != kResultOk) return false;
  uint32_t supported = 0, enabled = 0;
  return safety->GetOptions(true, &supported, &enabled) == kResultOk && enabled == kSupportedSafety;
}

}  // namespace vexa::bridge
