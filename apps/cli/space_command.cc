// `vexaupload space`: the account's quota.
#include <json/json.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <string>

#include "account/session.h"
#include "account/space.h"
#include "apps/cli/command.h"
#include "apps/cli/control_host.h"
#include "apps/cli/event_payload.h"
#include "apps/cli/session_options.h"
#include "apps/cli/sizes.h"

namespace vexa::cli {
namespace {

int RunSpace(const SessionOptions& o) {
  return RunLoggedIn(o, [&o](CUpload& control, UploadWatch&) {
    RefreshSpaceInfo();  // when the query fails, the numbers of the login stay
    const AccountState state = CopyAccountState();
    if (!o.json) {
      std::printf("Storage: %s\n", SpaceSentence(state.spaceUsed, state.spaceTotal).c_str());
      return static_cast<int>(kExitOk);
    }
    Json::Value line(Json::objectValue);
    line["result"] = "space";
    line["usedBytes"] = Json::UInt64(state.spaceUsed);
    line["totalBytes"] = Json::UInt64(state.spaceTotal);
    line["freeBytes"] =
        Json::UInt64(state.spaceUsed < state.spaceTotal ? state.spaceTotal - state.spaceUsed : 0);
    line["usedPercent"] = UsedPercent(state.spaceUsed, state.spaceTotal);
    line["payload"] =
        Utf8Of(&CUpload::GetSpaceInfo, control);  // used|total|percent as a page gets it
    std::printf("%s\n", JsonLine(line).c_str());
    return static_cast<int>(kExitOk);
  });
}

std::function<int()> DeclareSpace(CLI::App* command) {
  auto o = std::make_shared<SessionOptions>();
  command->footer(
      "Logs in with the remembered account and prints its quota: used, total, percentage and free "
      "space. "
      "With --json, after the login's event, one line with \"result\": \"space\" and the byte "
      "counts.");
  AddSessionOptions(command, o.get());
  return [o] { return RunSpace(*o); };
}

const CommandRegistrar kSpaceRegistrar({"space", "show the account's quota", nullptr,
                                        &DeclareSpace});

}  // namespace
}  // namespace vexa::cli
