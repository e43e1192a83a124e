// `vexaupload login [--api URL] [--remember] [--auto] ACCOUNT`: logs in to the
// account API with the signed login form, remembers where the API is, and shows
// the session and its quota.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "account/account_api.h"
#include "account/login.h"
#include "account/session.h"
#include "account/space.h"
#include "apps/cli/command.h"
#include "apps/cli/failure_text.h"
#include "apps/cli/session_options.h"
#include "apps/cli/sizes.h"
#include "port/event.h"
#include "port/terminal.h"

namespace vexa::cli {
namespace {

struct LoginOptions {
  std::string api;
  std::string account;
  bool remember = false;
  bool auto_login = false;
};

// Wakes the command when the login attempt has ended.
class WaitForLogin : public LoginObserver {
 public:
  void OnLogin() override { done_.Set(); }
  void OnLogout() override {}
  void Wait() { done_.Wait(); }

 private:
  port::Event done_;
};

int RunLogin(const LoginOptions& o) {
  if (!UseApiBase(o.api)) return kExitUsage;
  std::string password;
  if (const char* env = std::getenv("VEXAUPLOAD_PASSWORD")) {
    password = env;
  } else if (!port::ReadLineWithoutEcho("Password for " + o.account + ": ", &password)) {
    std::fputs("vexaupload login: no password given\n", stderr);
    return kExitFailed;
  }

  WaitForLogin waiter;
  AddLoginObserver(&waiter);
  if (!StartLogin(o.account, password, o.remember, o.auto_login)) {
    RemoveLoginObserver(&waiter);
    std::fputs("vexaupload login: the login could not be started\n", stderr);
    return kExitFailed;
  }
  waiter.Wait();
  RemoveLoginObserver(&waiter);
  if (!IsLoggedIn()) {
    std::fprintf(stderr, "vexaupload login: login failed: %s\n",
                 password.empty() ? "empty password" : FailureText(0, GetLastErrorText()).c_str());
    return kExitFailed;
  }
  std::printf(
      "Logged in as %s (user id %s); uploads go to folder %s unless --target names another.\n",
      GetUserName().c_str(), GetUserId().c_str(), GetDefaultTarget().c_str());
  const bool fresh = RefreshSpaceInfo();  // else the numbers the login gave
  const AccountState state = CopyAccountState();
  std::printf("Storage: %s%s\n", SpaceSentence(state.spaceUsed, state.spaceTotal).c_str(),
              fresh ? "" : " (as of the login)");
  if (!o.remember) {
    std::puts(
        "The password was not remembered: add --remember so that `upload` can log in by itself.");
  }
  LogoutAccount();
  return kExitOk;
}

std::function<int()> DeclareLogin(CLI::App* command) {
  auto o = std::make_shared<LoginOptions>();
  command->footer(
      "Logs in and shows the session's user id, name, default target and quota. The password is "
      "read "
      "from $VEXAUPLOAD_PASSWORD, else from a prompt that does not echo it (or the first line of "
      "standard "
      "input when that is not a terminal); a remembered password digest (40 hex digits) is "
      "accepted in "
      "its place. The API address is remembered for later commands.");
  AddApiOption(command, &o->api);
  command->add_flag("--remember", o->remember,
                    "keep the password digest, so later commands log in by themselves");
  command->add_flag("--auto", o->auto_login, "mark the remembered account for automatic login");
  command->add_option("ACCOUNT", o->account, "the account name")->required();
  return [o] { return RunLogin(*o); };
}

const CommandRegistrar kLoginRegistrar({"login", "log in, remember the account, show the quota",
                                        nullptr, &DeclareLogin});

}  // namespace
}  // namespace vexa::cli
