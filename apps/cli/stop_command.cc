// `vexaupload stop PATH...`.
#include <CLI/CLI.hpp>
#include <memory>
#include <string>
#include <vector>

#include "apps/cli/command.h"
#include "apps/cli/row_request.h"

namespace vexa::cli {
namespace {

struct StopOptions {
  SessionOptions session;
  std::vector<std::string> paths;
};

std::function<int()> DeclareStop(CLI::App* command) {
  auto o = std::make_shared<StopOptions>();
  command->footer(
      "Stops the uploads of the given files or folders. An `upload` or `resume` running in another "
      "terminal is asked to stop them; otherwise they are not running and stay stopped until "
      "`resume`.");
  AddSessionOptions(command, &o->session);
  command->add_option("PATH", o->paths, "files and folders whose upload to stop")->required();
  return [o] {
    return RunRowRequest("stop", o->paths, o->session, &CUpload::StopUpload,
                         "not running, stays stopped");
  };
}

const CommandRegistrar kStopRegistrar({"stop", "stop a running upload (resume continues it)",
                                       nullptr, &DeclareStop});

}  // namespace
}  // namespace vexa::cli
