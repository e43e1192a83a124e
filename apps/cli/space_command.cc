// `vexaupload space`: the account's quota.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <memory>
#include <string>

#include "apps/cli/command.h"
#include "apps/cli/control_host.h"
#include "apps/cli/session_options.h"

namespace vexa::cli {
namespace {

int RunSpace(const SessionOptions& o) {
  return RunLoggedIn(o, [](CUpload& control, UploadWatch&) {
    // used|total|percent, as the page shows it.
    std::printf("%s\n", Utf8Of(&CUpload::GetSpaceInfo, control).c_str());
    return static_cast<int>(kExitOk);
  });
}

std::function<int()> DeclareSpace(CLI::App* command) {
  auto o = std::make_shared<SessionOptions>();
  command->footer("Logs in with the remembered account and prints its quota as used|total|percent.");
  AddSessionOptions(command, o.get());
  return [o] { return RunSpace(*o); };
}

const CommandRegistrar kSpaceRegistrar({"space", "show the account's quota", nullptr, &DeclareSpace});

}  // namespace
}  // namespace vexa::cli
