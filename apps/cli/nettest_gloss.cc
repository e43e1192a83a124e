#include "apps/cli/nettest_gloss.h"

#include "codec/text.h"
#include "net/console_trace.h"

namespace vexa::cli {
namespace {

struct Gloss {
  const char* gbk;  // the trace text, or its start when `prefix`
  const char* english;
  bool prefix;
};

const Gloss kGlosses[] = {
    {trace_text::kBanner, "network test of the upload client", false},
    {trace_text::kStep1, "1. detecting the proxy settings", false},
    {trace_text::kNoProxy, "no proxy is set", false},
    {trace_text::kProxyType, "proxy type", true},
    {trace_text::kProxyAddress, "proxy address", true},
    {trace_text::kStep2, "2. connecting to the proxy", false},
    {trace_text::kProxyOk, "connected to the proxy", false},
    {trace_text::kProxyFailed, "could not connect to the proxy", false},
    {trace_text::kStep3, "3. sending the test request", false},
    {trace_text::kNetworkFailed, "the request failed", false},
    {trace_text::kNetworkOk, "the server answered", true},
    {trace_text::kStep4, "4. network test finished", false},
};

std::string_view TrimLineEnds(std::string_view s) {
  while (!s.empty() && s.front() == '\n') s.remove_prefix(1);
  while (!s.empty() && s.back() == '\n') s.remove_suffix(1);
  return s;
}

}  // namespace

std::string GlossNettestLine(std::string_view line) {
  const std::string_view text = TrimLineEnds(line);
  if (text.empty()) return std::string(line);
  for (const Gloss& g : kGlosses) {
    const std::string known(TrimLineEnds(AnsiToUtf8(g.gbk)));
    const bool match = g.prefix ? text.compare(0, known.size(), known) == 0 : text == known;
    if (!match) continue;
    const size_t start = static_cast<size_t>(text.data() - line.data());
    return std::string(line.substr(0, start + text.size())) + "  (" + g.english + ")" +
           std::string(line.substr(start + text.size()));
  }
  return std::string(line);
}

}  // namespace vexa::cli
