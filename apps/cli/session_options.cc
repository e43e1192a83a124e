#include "apps/cli/session_options.h"

#include <CLI/CLI.hpp>

#include <cstdio>

#include "account/account_api.h"
#include "account/api_base.h"
#include "apps/cli/argument_checks.h"
#include "apps/cli/command.h"
#include "apps/cli/control_host.h"
#include "apps/cli/upload_watch.h"
#include "port/data_folder.h"

namespace vexa::cli {

void AddApiOption(CLI::App* command, std::string* api) {
  command->add_option("--api", *api,
                      "account API base, such as http://host:port (default: $VEXAUPLOAD_API, else the one "
                      "remembered by the last login)")
      ->transform(CLI::Validator([](std::string& value) { return ApiAddressProblem(&value); }, ""))
      ->type_name("URL");
}

bool UseApiBase(const std::string& option) {
  const std::string base = ChooseApiBase(option);
  if (base.empty()) {
    std::fputs("vexaupload: no account API address: give --api URL, set VEXAUPLOAD_API, or log in once with "
               "`vexaupload login --api URL ACCOUNT`\n",
               stderr);
    return false;
  }
  if (!IsPlainHttpBase(base)) {
    std::fprintf(stderr, "vexaupload: %s: %s\n", base.c_str(), kPlainHttpOnlyText);
    return false;
  }
  SetAccountApiBase(base);
  return true;
}

void AddSessionOptions(CLI::App* command, SessionOptions* options) {
  AddApiOption(command, &options->api);
  command->add_flag("--json", options->json,
                    "print every event of the control as one JSON object per line: its name, identifier, "
                    "payload as a page receives it, and decoded fields");
}

int RunLoggedIn(const SessionOptions& options, const std::function<int(CUpload&, UploadWatch&)>& body) {
  if (!UseApiBase(options.api)) return kExitUsage;
  ControlHost host;
  UploadWatch watch(&host, options.json);
  if (!host.LoginRemembered()) return kExitFailed;
  return body(host.control(), watch);
}

bool LockUploads(port::FileLock* lock, const char* command) {
  const std::string folder = port::GetDataFolder();
  if (folder.empty()) return true;  // the login reports the missing folder
  switch (lock->TryLock(folder + "upload.lock")) {
    case port::FileLock::Result::kLocked:
      return true;
    case port::FileLock::Result::kBusy:
      std::fprintf(stderr,
                   "vexaupload %s: another `vexaupload upload` or `resume` is running with the data folder %s; "
                   "wait for it to end, or stop it with `vexaupload stop`\n",
                   command, folder.c_str());
      return false;
    case port::FileLock::Result::kFailed:
      break;
  }
  std::fprintf(stderr, "vexaupload %s: cannot lock %supload.lock; going on without it\n", command, folder.c_str());
  return true;
}

}  // namespace vexa::cli
