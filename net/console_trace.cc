#include "net/console_trace.h"

#include <cstdio>
#include <string>

#include "codec/text.h"
#include "net/http_client.h"

namespace vexa {

void ConsoleTrace(const HttpClient& client, std::string_view gbk_text) {
  if (!client.consoleTrace) return;
  std::string line = AnsiToUtf8(gbk_text);
  line.push_back('\n');
  if (client.traceSink) {
    client.traceSink(line);
    return;
  }
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

}  // namespace vexa
