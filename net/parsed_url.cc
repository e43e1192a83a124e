#include "net/parsed_url.h"

#include "codec/text.h"
#include "port/tls.h"

namespace vexa {

bool IsPlainHttpScheme(std::string_view scheme) { return ToLower(scheme) == "http"; }

namespace {
bool IsHttpsScheme(std::string_view scheme) {
  return port::TlsAvailable() && ToLower(scheme) == "https";
}
}  // namespace

bool IsSpokenScheme(std::string_view scheme) {
  return IsPlainHttpScheme(scheme) || IsHttpsScheme(scheme);
}

ParsedUrl ParseUrl(std::string_view url) {
  ParsedUrl u;
  std::string_view rest = url;
  size_t sep = url.find("://");
  if (sep != std::string_view::npos) {
    if (sep > 0) u.scheme = std::string(url.substr(0, sep));
    rest = url.substr(sep + 3);
  }
  // The host ends at the path, or at a query that follows it directly.
  size_t end = rest.find_first_of("/?");
  std::string_view host = rest.substr(0, end);
  if (end != std::string_view::npos) {
    std::string_view path = rest.substr(end);
    u.path = path[0] == '/' ? std::string(path) : "/" + std::string(path);
  }
  u.tls = IsHttpsScheme(u.scheme);
  if (u.tls) u.port = 443;
  size_t colon = host.find(':');
  if (colon != std::string_view::npos && colon > 0) {
    // The low 32 bits of the number, as the port field holds them; values
    // outside 1..65535 fail at connect time.
    u.port = static_cast<int32_t>(static_cast<uint32_t>(ParseU64(host.substr(colon + 1))));
    host = host.substr(0, colon);
  }
  u.host = std::string(host);
  // An address that asks for a scheme not spoken here (https without TLS
  // above all) gets no port, so it is never connected to and nothing meant
  // to be encrypted goes out in the clear.
  if (!IsSpokenScheme(u.scheme)) u.port = 0;
  return u;
}

}  // namespace vexa
