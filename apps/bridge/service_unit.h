#ifndef VEXA_APPS_BRIDGE_SERVICE_UNIT_H_
#define VEXA_APPS_BRIDGE_SERVICE_UNIT_H_

// The systemd user unit that starts the bridge with the desktop session.

#include <string>
#include <vector>

namespace vexa::bridge {

inline constexpr char kServiceUnitName[] = "vexaupload-bridge.service";

// The unit's text; `command` is the program followed by its arguments.
std::string RenderServiceUnit(const std::vector<std::string>& command);

// Writes the unit into the user's systemd folder; *path receives where.
bool InstallServiceUnit(const std::string& text, std::string* path, std::string* error);

}  // namespace vexa::bridge

#endif  // VEXA_APPS_BRIDGE_SERVICE_UNIT_H_
