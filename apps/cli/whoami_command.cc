// `vexaupload whoami`: the remembered account and, logged in, its session.
#include <json/json.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <string>

#include "account/account_api.h"
#include "account/api_base.h"
#include "apps/cli/command.h"
#include "apps/cli/control_host.h"
#include "apps/cli/event_payload.h"
#include "apps/cli/session_options.h"

namespace vexa::cli {
namespace {

int RunWhoami(const SessionOptions& o) {
  Json::Value line(Json::objectValue);
  {
    CUpload control;
    // account|session|remember|auto, empty fields when nothing is remembered.
    const std::string info = Utf8Of(&CUpload::GetAccountInfo, control);
    const std::string account = info.substr(0, info.find('|'));
    if (account.empty()) {
      std::fputs(
          "vexaupload whoami: no remembered account: `vexaupload login --remember ACCOUNT` "
          "remembers one\n",
          o.json ? stderr : stdout);
      return kExitFailed;
    }
    const bool remembered = info.substr(info.size() - 3, 1) == "1",
               auto_login = info.substr(info.size() - 1) == "1";
    if (o.json) {
      line["result"] = "whoami";
      line["account"] = account;
      line["remembered"] = remembered;
      line["autoLogin"] = auto_login;
      line["api"] = ChooseApiBase(o.api);
    } else {
      std::printf("account      %s\nremembered   %s\nauto login   %s\napi          %s\n",
                  account.c_str(), remembered ? "yes (password digest kept)" : "no",
                  auto_login ? "yes" : "no", ChooseApiBase(o.api).c_str());
      std::fflush(stdout);
    }
  }
  return RunLoggedIn(o, [&o, &line](CUpload& control, UploadWatch&) {
    uint8_t allowed = 0;
    control.GetAllowUpload(&allowed);
    const std::string user_id = Utf8Of(&CUpload::GetUserId, control),
                      name = Utf8Of(&CUpload::GetName, control),
                      target = Utf8Of(&CUpload::GetTarget, control);
    if (o.json) {
      line["userId"] = user_id;
      line["name"] = name;
      line["target"] = target;
      line["uploadAllowed"] = allowed != 0;
      std::printf("%s\n", JsonLine(line).c_str());
    } else {
      std::printf("user id      %s\nname         %s\ntarget       %s\nupload       %s\n",
                  user_id.c_str(), name.c_str(), target.c_str(),
                  allowed ? "allowed" : "not allowed");
    }
    return static_cast<int>(kExitOk);
  });
}

std::function<int()> DeclareWhoami(CLI::App* command) {
  auto o = std::make_shared<SessionOptions>();
  command->footer(
      "Shows the remembered account, then logs in with it and shows the session: user id, name, "
      "default "
      "target and whether uploads are allowed. With --json, after the login's event, one line with "
      "\"result\": \"whoami\" and those fields.");
  AddSessionOptions(command, o.get());
  return [o] { return RunWhoami(*o); };
}

const CommandRegistrar kWhoamiRegistrar({"whoami", "show the remembered account and its session",
                                         nullptr, &DeclareWhoami});

}  // namespace
}  // namespace vexa::cli
