#include <cstdlib>

#include "port/process.h"
#include "port/shell_open.h"
#include "port/thread.h"

namespace vexa::port {

bool OpenUrl(const std::string& url) {
  const char* opener = std::getenv("VEXAUPLOAD_OPENER");
  std::vector<std::string> argv = {opener && *opener ? opener : "xdg-open", url};
  return StartDetachedThread([argv = std::move(argv)] { RunProgram(argv, nullptr); });
}

}  // namespace vexa::port
