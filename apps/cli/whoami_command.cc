// `vexaupload whoami`: the remembered account and, logged in, its session.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <memory>
#include <string>

#include "account/account_api.h"
#include "account/api_base.h"
#include "apps/cli/command.h"
#include "apps/cli/control_host.h"
#include "apps/cli/session_options.h"

namespace vexa::cli {
namespace {

int RunWhoami(const SessionOptions& o) {
  {
    CUpload control;
    // account|session|remember|auto, empty fields when nothing is remembered.
    const std::string info = Utf8Of(&CUpload::GetAccountInfo, control);
    const std::string account = info.substr(0, info.find('|'));
    if (account.empty()) {
      std::puts("no remembered account: `vexaupload login --remember ACCOUNT` remembers one");
      return kExitFailed;
    }
    std::printf("account      %s\nremembered   %s\nauto login   %s\napi          %s\n", account.c_str(),
                info.substr(info.size() - 3, 1) == "1" ? "yes (password digest kept)" : "no",
                info.substr(info.size() - 1) == "1" ? "yes" : "no", ChooseApiBase(o.api).c_str());
  }
  return RunLoggedIn(o, [](CUpload& control, UploadWatch&) {
    uint8_t allowed = 0;
    control.GetAllowUpload(&allowed);
    std::printf("user id      %s\nname         %s\ntarget       %s\nupload       %s\n",
                Utf8Of(&CUpload::GetUserId, control).c_str(), Utf8Of(&CUpload::GetName, control).c_str(),
                Utf8Of(&CUpload::GetTarget, control).c_str(), allowed ? "allowed" : "not allowed");
    return static_cast<int>(kExitOk);
  });
}

std::function<int()> DeclareWhoami(CLI::App* command) {
  auto o = std::make_shared<SessionOptions>();
  command->footer(
      "Shows the remembered account, then logs in with it and shows the session: user id, name, default "
      "target and whether uploads are allowed.");
  AddSessionOptions(command, o.get());
  return [o] { return RunWhoami(*o); };
}

const CommandRegistrar kWhoamiRegistrar({"whoami", "show the remembered account and its session", nullptr,
                                   &DeclareWhoami});

}  // namespace
}  // namespace vexa::cli
