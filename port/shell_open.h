#ifndef VEXA_PORT_SHELL_OPEN_H_
#define VEXA_PORT_SHELL_OPEN_H_

#include <string>

namespace vexa::port {

// Opens `url` with the desktop's handler for it (xdg-open; the program named
// by VEXAUPLOAD_OPENER instead, when set), on a thread of its own, so the
// caller never waits. False when that thread could not be started.
bool OpenUrl(const std::string& url);

}  // namespace vexa::port

#endif  // VEXA_PORT_SHELL_OPEN_H_
