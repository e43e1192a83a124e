#include "apps/cli/argument_checks.h"

#include "codec/text.h"

namespace vexa::cli {
namespace {

constexpr size_t kMaxTargetDigits = 19;
constexpr uint64_t kMinRate = 1024;
constexpr uint64_t kMaxRate = uint64_t{1} << 50;  // 1 PiB/s: far beyond any line

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsHostChar(char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' || c == '-' ||
         c == '_';
}

}  // namespace

std::string TargetIdProblem(const std::string& value) {
  if (value.empty()) return "the target must be a folder id (digits), not empty";
  for (char c : value) {
    if (!IsDigit(c)) return "the target must be a folder id of digits only, not '" + value + "'";
  }
  if (value.size() > kMaxTargetDigits) {
    return "the target '" + value + "' is longer than a folder id can be (" +
           std::to_string(kMaxTargetDigits) + " digits)";
  }
  return std::string();
}

std::string ApiAddressProblem(std::string* value) {
  const std::string& v = *value;
  const std::string usage = "the API address must look like http://host:port, not '" + v + "'";
  const size_t separator = v.find("://");
  const std::string scheme =
      separator == std::string::npos ? std::string() : ToLower(v.substr(0, separator));
  if (scheme != "http" && scheme != "https") return usage;
  size_t pos = separator + 3;
  for (char c : v) {
    if (static_cast<unsigned char>(c) <= ' ' || c == '?' || c == '#' || c == '@' || c == '\\' ||
        c == 0x7f) {
      return usage + " (no spaces, user, query or fragment)";
    }
  }
  const size_t host_start = pos;
  while (pos < v.size() && IsHostChar(v[pos])) ++pos;
  if (pos == host_start) return usage + " (no host)";
  if (pos < v.size() && v[pos] == ':') {
    const size_t port_start = ++pos;
    while (pos < v.size() && IsDigit(v[pos])) ++pos;
    const uint64_t port =
        pos - port_start <= 5 ? ParseU64(v.substr(port_start, pos - port_start)) : 0;
    if (port < 1 || port > 65535) return usage + " (the port must be 1 to 65535)";
  }
  if (pos < v.size() && v[pos] != '/') return usage;
  if (v.size() > host_start && v.back() == '/') value->pop_back();
  return std::string();
}

std::string LimitRateProblem(const std::string& value, uint64_t* bytes_per_second) {
  const std::string usage =
      "the rate must be bytes per second such as 512K or 2M, not '" + value + "'";
  size_t pos = 0;
  uint64_t whole = 0;
  while (pos < value.size() && IsDigit(value[pos]) && pos < 16)
    whole = whole * 10 + (value[pos++] - '0');
  if (pos == 0) return usage;
  // Up to three decimals: "1.5M"; more say nothing a byte count can hold.
  uint64_t thousandths = 0;
  if (pos < value.size() && value[pos] == '.') {
    ++pos;
    const size_t start = pos;
    for (uint64_t scale = 100; pos < value.size() && IsDigit(value[pos]) && pos - start < 3;
         scale /= 10) {
      thousandths += (value[pos++] - '0') * scale;
    }
    if (pos == start) return usage;
  }
  uint64_t unit = 1;
  if (pos < value.size()) {
    const char suffix = static_cast<char>(value[pos++] | 0x20);
    const int shift = suffix == 'k' ? 10 : suffix == 'm' ? 20 : suffix == 'g' ? 30 : -1;
    unit = shift < 0 ? 0 : uint64_t{1} << shift;
  }
  if (unit == 0 || pos != value.size()) return usage;
  if (whole > kMaxRate / unit) return "the rate '" + value + "' is larger than any line";
  const uint64_t rate = whole * unit + thousandths * unit / 1000;
  if (rate < kMinRate)
    return "the rate '" + value + "' is below the least one (1K, 1024 bytes per second)";
  if (bytes_per_second != nullptr) *bytes_per_second = rate;
  return std::string();
}

}  // namespace vexa::cli
