// `vexaupload login --api URL ACCOUNT`: logs in to the account API with the
// signed login form, then asks for the account's quota.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "account/account_api.h"
#include "account/login.h"
#include "account/session.h"
#include "account/space.h"
#include "apps/cli/command.h"
#include "port/event.h"

namespace vexa::cli {
namespace {

constexpr char kUsage[] =
    "usage: vexaupload login --api URL [--remember] [--auto] ACCOUNT\n"
    "\n"
    "Logs in to the account API at URL (such as http://host:port) and prints the\n"
    "session's user id, name and default target, then refreshes and prints the\n"
    "quota as used|total|percent. The password is read from the first line of\n"
    "standard input, so it stays out of the process list; a remembered password\n"
    "digest (40 hex digits) is accepted in its place.\n"
    "\n"
    "  --remember  keep the password digest in the account file\n"
    "  --auto      mark the remembered account for automatic login\n"
    "\n"
    "Exit status: 0 when logged in, 1 when the login failed, 2 on bad usage.\n";

// Wakes the command when the login attempt has ended.
class WaitForLogin : public LoginObserver {
 public:
  void OnLogin() override { done_.Set(); }
  void OnLogout() override {}
  void Wait() { done_.Wait(); }

 private:
  port::Event done_;
};

int Usage(const char* problem) {
  std::fprintf(stderr, "vexaupload login: %s\n\n%s", problem, kUsage);
  return 2;
}

int RunLogin(int argc, char** argv) {
  std::string api, account;
  bool remember = false, auto_login = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (std::strcmp(arg, "--api") == 0) {
      if (++i == argc) return Usage("--api wants a URL");
      api = argv[i];
    } else if (std::strcmp(arg, "--remember") == 0) {
      remember = true;
    } else if (std::strcmp(arg, "--auto") == 0) {
      auto_login = true;
    } else if (arg[0] == '-' && arg[1] != '\0') {
      return Usage((std::string("unknown option '") + arg + "'").c_str());
    } else if (account.empty()) {
      account = arg;
    } else {
      return Usage("only one ACCOUNT");
    }
  }
  if (api.empty()) return Usage("--api URL is required");
  if (account.empty()) return Usage("ACCOUNT is required");
  std::string password;
  std::getline(std::cin, password);
  if (!password.empty() && password.back() == '\r') password.pop_back();

  SetAccountApiBase(api);
  WaitForLogin waiter;
  AddLoginObserver(&waiter);
  if (!StartLogin(account, password, remember, auto_login)) {
    std::fputs("vexaupload login: the login could not be started\n", stderr);
    return 1;
  }
  waiter.Wait();
  RemoveLoginObserver(&waiter);
  if (!IsLoggedIn()) {
    std::fprintf(stderr, "vexaupload login: login failed: %s\n",
                 password.empty() ? "empty password" : GetLastErrorText().c_str());
    return 1;
  }
  std::printf("logged in: user id %s, name %s, default target %s\n", GetUserId().c_str(),
              GetUserName().c_str(), GetDefaultTarget().c_str());
  if (RefreshSpaceInfo()) {
    std::printf("quota (used|total|percent): %s\n", GetSpaceSummary().c_str());
  } else {
    std::printf("quota (used|total|percent, from the login): %s\n", GetSpaceSummary().c_str());
  }
  LogoutAccount();
  return 0;
}

const CommandRegistrar kRegistrar({"login", "log in to the account API and show the quota", &RunLogin});

}  // namespace
}  // namespace vexa::cli
