// `vexaupload cancel PATH...`.
#include <CLI/CLI.hpp>
#include <memory>
#include <string>
#include <vector>

#include "apps/cli/command.h"
#include "apps/cli/row_request.h"

namespace vexa::cli {
namespace {

struct CancelOptions {
  SessionOptions session;
  std::vector<std::string> paths;
};

std::function<int()> DeclareCancel(CLI::App* command) {
  auto o = std::make_shared<CancelOptions>();
  command->footer(
      "Cancels the uploads of the given files or folders and forgets their resume records, so "
      "`resume` leaves them alone. An `upload` or `resume` running in another terminal is asked to "
      "cancel them.");
  AddSessionOptions(command, &o->session);
  command->add_option("PATH", o->paths, "files and folders whose upload to cancel")->required();
  return [o] {
    return RunRowRequest("cancel", o->paths, o->session, &CUpload::CancelUpload, "cancelled");
  };
}

const CommandRegistrar kCancelRegistrar({"cancel", "cancel an unfinished upload and forget it",
                                         nullptr, &DeclareCancel});

}  // namespace
}  // namespace vexa::cli
