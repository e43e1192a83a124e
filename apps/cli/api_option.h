#ifndef VEXA_APPS_CLI_API_OPTION_H_
#define VEXA_APPS_CLI_API_OPTION_H_

#include <string>

namespace CLI {
class App;
}

namespace vexa::cli {

// The `--api URL` option of every command that may log in.
void AddApiOption(CLI::App* command, std::string* api);

// Sets the account API base from `--api`, else $VEXAUPLOAD_API, else the one
// remembered by the last successful login. False, with a message on standard
// error naming the ways to give one, when none of them is set.
bool UseApiBase(const std::string& option);

}  // namespace vexa::cli

#endif  // VEXA_APPS_CLI_API_OPTION_H_
