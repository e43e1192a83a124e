// ParseUrl never fails and never invents text: host and path come from the
// input, the path always starts with '/'.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "net/parsed_url.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view url(reinterpret_cast<const char*>(data), size);
  vexa::ParsedUrl u = vexa::ParseUrl(url);
  if (u.path.empty() || u.path[0] != '/') std::abort();
  if (u.host.size() > url.size() || u.path.size() > url.size() + 1) std::abort();
  if (!u.host.empty() && url.find(u.host) == std::string_view::npos) std::abort();
  if (u.host.find('/') != std::string::npos) std::abort();
  return 0;
}
