#include "port/debug.h"

namespace vexa::port {

// POSIX has no debugger channel; VEXAUPLOAD_DEBUG=1 shows the texts instead.
void SystemDebugOut(std::string_view) {}

}  // namespace vexa::port
