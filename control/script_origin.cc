#include "control/script_origin.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "codec/text.h"

namespace vexa {

namespace {

bool IsOriginHostChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '[' ||
         c == ']' || c == ':';
}

bool IsDecimal(std::string_view s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
}

// "127.0.0.1": four decimal parts of 0..255 without leading zeros (which some
// readers take as octal).
bool ParseDottedQuad(std::string_view text, std::array<uint8_t, 4>* out) {
  for (int i = 0; i < 4; ++i) {
    const size_t dot = i < 3 ? text.find('.') : text.size();
    if (dot == std::string_view::npos) return false;
    const std::string_view part = text.substr(0, dot);
    if (!IsDecimal(part) || part.size() > 3 || (part.size() > 1 && part[0] == '0')) return false;
    const uint64_t value = ParseU64(part);
    if (value > 255) return false;
    (*out)[i] = static_cast<uint8_t>(value);
    text = dot < text.size() ? text.substr(dot + 1) : std::string_view();
  }
  return true;
}

// An IPv6 address in its text forms: eight groups of up to four hex digits,
// one "::" standing for the zero groups left out, a dotted quad for the last
// two groups.
bool ParseIpv6(std::string_view text, std::array<uint8_t, 16>* out) {
  std::vector<uint16_t> head, tail;
  const size_t gap = text.find("::");
  if (gap != std::string_view::npos && text.find("::", gap + 1) != std::string_view::npos)
    return false;
  auto parse_groups = [](std::string_view part, std::vector<uint16_t>* groups, bool last) {
    if (part.empty()) return true;
    size_t start = 0;
    for (;;) {
      const size_t colon = part.find(':', start);
      const std::string_view group =
          part.substr(start, colon == std::string_view::npos ? colon : colon - start);
      if (colon == std::string_view::npos && last && group.find('.') != std::string_view::npos) {
        std::array<uint8_t, 4> quad;
        if (!ParseDottedQuad(group, &quad)) return false;
        groups->push_back(static_cast<uint16_t>(quad[0] << 8 | quad[1]));
        groups->push_back(static_cast<uint16_t>(quad[2] << 8 | quad[3]));
        return true;
      }
      if (group.empty() || group.size() > 4 ||
          group.find_first_not_of("0123456789abcdefABCDEF") != std::string_view::npos) {
        return false;
      }
      groups->push_back(static_cast<uint16_t>(std::stoul(std::string(group), nullptr, 16)));
      if (colon == std::string_view::npos) return true;
      start = colon + 1;
    }
  };
  if (gap == std::string_view::npos) {
    if (!parse_groups(text, &head, true) || head.size() != 8) return false;
  } else if (!parse_groups(text.substr(0, gap), &head, false) ||
             !parse_groups(text.substr(gap + 2), &tail, true) || head.size() + tail.size() > 7) {
    return false;
  }
  std::array<uint16_t, 8> groups{};
  std::copy(head.begin(), head.end(), groups.begin());
  std::copy(tail.begin(), tail.end(), groups.end() - static_cast<std::ptrdiff_t>(tail.size()));
  for (size_t i = 0; i < 8; ++i) {
    (*out)[2 * i] = static_cast<uint8_t>(groups[i] >> 8);
    (*out)[2 * i + 1] = static_cast<uint8_t>(groups[i]);
  }
  return true;
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
  if (authority.empty() || !std::all_of(authority.begin(), authority.end(), IsOriginHostChar)) {
    return std::string();
  }
  // The port is what follows the last ':' outside an IPv6 literal's brackets.
  const size_t close = authority.rfind(']');
  const size_t colon = authority.rfind(':');
  std::string host = authority, port;
  if (colon != std::string::npos && (close == std::string::npos || colon > close)) {
    host = authority.substr(0, colon);
    port = authority.substr(colon + 1);
    if (port.size() > 5 || !IsDecimal(port)) return std::string();
    const uint64_t number = ParseU64(port);
    if (number == 0 || number > 65535) return std::string();
    port = FormatU64(number);
  }
  if (host.empty()) return std::string();
  const bool bracketed = host.front() == '[' && host.back() == ']';
  if (bracketed != (close != std::string::npos) ||
      (!bracketed && host.find(':') != std::string::npos)) {
    return std::string();
  }
  if ((scheme == "http" && port == "80") || (scheme == "https" && port == "443")) port.clear();
  return scheme + "://" + host + (port.empty() ? "" : ":" + port);
}

std::string OriginOfUrl(std::string_view url) {
  const size_t scheme_end = url.find("://");
  if (scheme_end == std::string_view::npos) return std::string();
  // Browsers end the authority at "\" as well as at "/", "?" and "#".
  const size_t end = url.find_first_of("/\\?#", scheme_end + 3);
  return NormalizeOrigin(url.substr(0, end));
}

bool IsLoopbackHost(std::string_view host) {
  if (host == "localhost") return true;
  std::array<uint8_t, 4> quad;
  if (ParseDottedQuad(host, &quad)) return quad[0] == 127;
  std::array<uint8_t, 16> v6;
  if (!ParseIpv6(host, &v6)) return false;
  return std::all_of(v6.begin(), v6.end() - 1, [](uint8_t b) { return b == 0; }) && v6[15] == 1;
}

bool IsTrustworthyOrigin(const std::string& origin) {
  if (origin.rfind("https://", 0) == 0) return true;
  if (origin.rfind("http://", 0) != 0) return false;
  std::string host = origin.substr(7);
  const size_t close = host.rfind(']');
  const size_t colon = host.rfind(':');
  if (colon != std::string::npos && (close == std::string::npos || colon > close))
    host.resize(colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
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

}  // namespace vexa
