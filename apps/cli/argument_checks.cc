#include "apps/cli/argument_checks.h"

#include "codec/text.h"

namespace vexa::cli {
namespace {

constexpr size_t kMaxTargetDigits = 19;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsHostChar(char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' || c == '-' || c == '_';
}

}  // namespace

std::string TargetIdProblem(const std::string& value) {
  if (value.empty()) return "the target must be a folder id (digits), not empty";
  for (char c : value) {
    if (!IsDigit(c)) return "the target must be a folder id of digits only, not '" + value + "'";
  }
  if (value.size() > kMaxTargetDigits) {
    return "the target '" + value + "' is longer than a folder id can be (" + std::to_string(kMaxTargetDigits) +
           " digits)";
  }
  return std::string();
}

std::string ApiAddressProblem(std::string* value) {
  const std::string& v = *value;
  const std::string usage = "the API address must look like http://host:port, not '" + v + "'";
  const size_t separator = v.find("://");
  const std::string scheme = separator == std::string::npos ? std::string() : ToLower(v.substr(0, separator));
  if (scheme != "http" && scheme != "https") return usage;
  size_t pos = separator + 3;
  for (char c : v) {
    if (static_cast<unsigned char>(c) <= ' ' || c == '?' || c == '#' || c == '@' || c == '\\' || c == 0x7f) {
      return usage + " (no spaces, user, query or fragment)";
    }
  }
  const size_t host_start = pos;
  while (pos < v.size() && IsHostChar(v[pos])) ++pos;
  if (pos == host_start) return usage + " (no host)";
  if (pos < v.size() && v[pos] == ':') {
    const size_t port_start = ++pos;
    while (pos < v.size() && IsDigit(v[pos])) ++pos;
    const uint64_t port = pos - port_start <= 5 ? ParseU64(v.substr(port_start, pos - port_start)) : 0;
    if (port < 1 || port > 65535) return usage + " (the port must be 1 to 65535)";
  }
  if (pos < v.size() && v[pos] != '/') return usage;
  if (v.size() > host_start && v.back() == '/') value->pop_back();
  return std::string();
}

}  // namespace vexa::cli
