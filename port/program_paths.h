#ifndef VEXA_PORT_PROGRAM_PATHS_H_
#define VEXA_PORT_PROGRAM_PATHS_H_

#include <string>

namespace vexa::port {

// The full path of the running program; empty when it cannot be found.
std::string ExecutablePath();

// The user's configuration folder, ending with a separator:
// ${XDG_CONFIG_HOME:-$HOME/.config}/. Empty when neither is set. Not created.
std::string UserConfigFolder();

// The machine-wide configuration folder, ending with a separator: the first
// entry of $XDG_CONFIG_DIRS, else /etc/xdg/. Not created.
std::string SystemConfigFolder();

}  // namespace vexa::port

#endif  // VEXA_PORT_PROGRAM_PATHS_H_
