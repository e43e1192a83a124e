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
};

// Whether `scheme` is "http" in any case: the only one spoken.
bool IsPlainHttpScheme(std::string_view scheme);

// Splits an absolute URL "scheme://host[:port][/path?query]". Never fails:
// a scheme other than http gives port 0 (https is not spoken, so such an
// address is never connected to rather than used without encryption), a
// missing port is 80, a missing path "/", a port that is not a number 0 (the
// connection then fails). A URL without "://" is read as "host[:port][/path]".
ParsedUrl ParseUrl(std::string_view url);

}  // namespace vexa

#endif  // VEXA_NET_PARSED_URL_H_
