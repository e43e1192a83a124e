#ifndef VEXA_NET_PARSED_URL_H_
#define VEXA_NET_PARSED_URL_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace vexa {

struct ParsedUrl {
  std::string scheme = "http";
  std::string host;
  int32_t port = 80;
  std::string path = "/";  // query string included
  bool tls = false;        // https: spoken over TLS
};

// Whether `scheme` is "http" in any case.
bool IsPlainHttpScheme(std::string_view scheme);
// Whether `scheme` can be spoken by this build: http, and https where TLS is
// available.
bool IsSpokenScheme(std::string_view scheme);

// Splits an absolute URL "scheme://host[:port][/path?query]". Never fails:
// https (where TLS is available) sets `tls` and a default port 443; a scheme
// that is not spoken gives port 0 (such an address is never connected to, so
// nothing meant to be encrypted goes out in the clear); a missing port is
// 80, a missing path "/", a port that is not a number 0 (the connection then
// fails). A URL without "://" is read as "host[:port][/path]".
ParsedUrl ParseUrl(std::string_view url);

}  // namespace vexa

#endif  // VEXA_NET_PARSED_URL_H_
