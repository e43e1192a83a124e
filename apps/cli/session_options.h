#ifndef VEXA_APPS_CLI_SESSION_OPTIONS_H_
#define VEXA_APPS_CLI_SESSION_OPTIONS_H_

#include <functional>
#include <string>

#include "control/control.h"
#include "port/file_lock.h"

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

// Logs in with the remembered account through a control and runs `body` with
// that control and a watch over its events. Returns what `body` returns, or
// the status of what kept it from running (2: no API address, 1: the login
// failed). When it returns the control is gone: logged out, engine stopped,
// resume records saved.
int RunLoggedIn(const SessionOptions& options, const std::function<int(CUpload&, UploadWatch&)>& body);

// One `upload` or `resume` at a time per data folder: they would share its
// resume store. Takes the folder's lock into *lock (held until it is
// destroyed or the process ends, a crash included); when another process
// holds it, says so for `command` and returns false. A lock that cannot be
// taken for another reason does not stop the command.
bool LockUploads(port::FileLock* lock, const char* command);

}  // namespace vexa::cli

#endif  // VEXA_APPS_CLI_SESSION_OPTIONS_H_
