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

// Splits an absolute URL "scheme://host[:port][/path?query]". Never fails:
// the scheme is read and otherwise ignored (only plain HTTP is spoken), a
// missing port is 80, a missing path "/", a port that is not a number 0 (the
// connection then fails). A URL without "://" is read as "host[:port][/path]".
ParsedUrl ParseUrl(std::string_view url);

}  // namespace vexa

#endif  // VEXA_NET_PARSED_URL_H_
