#ifndef VEXA_APPS_CLI_VERSION_TEXT_H_
#define VEXA_APPS_CLI_VERSION_TEXT_H_

#include <string>

namespace vexa::cli {

// This command line's own version; the control's is the one every login
// names to the service, the same on every platform.
inline constexpr char kCliVersion[] = "1.0.0";

// What `version` and `--version` print: both, one a line.
std::string VersionText();

}  // namespace vexa::cli

#endif  // VEXA_APPS_CLI_VERSION_TEXT_H_
