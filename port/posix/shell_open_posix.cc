#include <cstdlib>

#include "port/process.h"
#include "port/shell_open.h"

namespace vexa::port {

bool OpenUrl(const std::string& url) {
  const char* opener = std::getenv("VEXAUPLOAD_OPENER");
  return StartProgram({opener && *opener ? opener : "xdg-open", url});
}

}  // namespace vexa::port
