#ifndef VEXA_APPS_CLI_SESSION_OPTIONS_H_
#define VEXA_APPS_CLI_SESSION_OPTIONS_H_

#include <functional>
#include <string>

#include "control/control.h"

namespace CLI {
class App;
}

namespace vexa::cli {

class UploadWatch;

// The `--api URL` option of every command that may log in.
void AddApiOption(CLI::App* command, std::string* api);

// Sets the account API base from `--api`, else $VEXAUPLOAD_API, else the one
// remembered by the last successful login. False, with a message on standard
// error naming the ways to give one, when none of them is set.
bool UseApiBase(const std::string& option);

// What every command that works through the control takes.
struct SessionOptions {
  std::string api;
  bool json = false;
};

// --api and --json.
void AddSessionOptions(CLI::App* command, SessionOptions* options);

// `--limit-rate RATE` of the commands that send (checked as it is parsed),
// and the cap it sets on this process's sending (none for an empty value).
void AddLimitRateOption(CLI::App* command, std::string* rate);
void ApplyLimitRate(const std::string& rate);

// Logs in with the remembered account through a control and runs `body` with
// that control and a watch over its events. Returns what `body` returns, or
// the status of what kept it from running (2: no API address, 1: the login
// failed). When it returns the control is gone: logged out, engine stopped,
// resume records saved.
int RunLoggedIn(const SessionOptions& options,
                const std::function<int(CUpload&, UploadWatch&)>& body);

}  // namespace vexa::cli

#endif  // VEXA_APPS_CLI_SESSION_OPTIONS_H_
