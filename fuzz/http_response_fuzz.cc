// The response reader and the body extraction on arbitrary bytes: no crash,
// and when the framing calls a response complete, cutting it there must give
// the same body as the whole text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "net/http_response.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string raw(reinterpret_cast<const char*>(data), size);

  vexa::ResponseHead head;
  vexa::ParseResponseHead(raw, &head);

  // Feed the framing in two pieces, as receives would.
  vexa::ResponseFraming framing;
  std::string text = raw.substr(0, size / 2);
  vexa::ResponseFraming::Progress p = framing.Update(&text);
  if (p == vexa::ResponseFraming::Progress::kNeedMore) {
    text.append(raw, size / 2, std::string::npos);
    p = framing.Update(&text);
  }

  std::string body = raw;
  bool ok = vexa::ExtractBody(&body);
  if (!ok && body != raw) std::abort();  // a refused response is left as it came
  if (ok && body.size() > raw.size()) std::abort();

  if (p == vexa::ResponseFraming::Progress::kComplete) {
    std::string framed = text;
    bool framed_ok = vexa::ExtractBody(&framed);
    if (framed_ok && ok && framed != body) std::abort();
  }
  return 0;
}
