#ifndef VEXA_APPS_BRIDGE_SERVICE_UNIT_H_
#define VEXA_APPS_BRIDGE_SERVICE_UNIT_H_

// The systemd user unit that starts the bridge with the desktop session.

#include <string>
#include <vector>

namespace vexa::bridge {

inline constexpr char kServiceUnitName[] = "vexaupload-bridge.service";
inline constexpr char kSocketUnitName[] = "vexaupload-bridge.socket";

// The unit's text; `command` is the program followed by its arguments.
std::string RenderServiceUnit(const std::vector<std::string>& command);

// The socket unit that keeps `listen` ("HOST:PORT") bound for the bridge,
// whether or not it runs, and starts it on the first connection: while the
// bridge is down no other local user can take its port and pose as it.
std::string RenderSocketUnit(const std::string& listen);

// Writes the unit `name` into the user's systemd folder; *path receives where.
bool InstallServiceUnit(const std::string& name, const std::string& text, std::string* path,
                        std::string* error);

}  // namespace vexa::bridge

#endif  // VEXA_APPS_BRIDGE_SERVICE_UNIT_H_
