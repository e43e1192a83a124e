// `vexaupload failures FOLDER`: the members of a folder upload that failed.
#include <json/json.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <string>

#include "apps/cli/command.h"
#include "apps/cli/event_payload.h"
#include "apps/cli/session_options.h"
#include "apps/cli/upload_watch.h"
#include "codec/text.h"

namespace vexa::cli {
namespace {

struct FailuresOptions {
  SessionOptions session;
  std::string folder;
};

std::function<int()> DeclareFailures(CLI::App* command) {
  auto o = std::make_shared<FailuresOptions>();
  command->footer(
      "Lists the members of an unfinished folder upload that failed, with the reason, one line "
      "each. "
      "Failures are known while the folder is registered: after the login that restores it, or as "
      "`upload` prints them at its end.");
  AddSessionOptions(command, &o->session);
  command->add_option("FOLDER", o->folder, "the local folder")->required();
  return [o] {
    return RunLoggedIn(o->session, [&o](CUpload& control, UploadWatch& watch) {
      // Each failed member arrives as a LoadUnfinishTaskEvent, which the
      // watch prints (or writes as JSON).
      const std::string folder = UploadWatch::ControlPath(o->folder);
      control.LoadUnfinishTask(Utf8ToWide(folder));
      if (o->session.json) {
        Json::Value line(Json::objectValue);
        line["result"] = "failures";
        line["folder"] = folder;
        line["failedMembers"] = watch.unfinished_members();
        std::printf("%s\n", JsonLine(line).c_str());
      } else if (watch.unfinished_members() == 0) {
        std::printf("no failed members known for %s\n", o->folder.c_str());
      }
      return static_cast<int>(kExitOk);
    });
  };
}

const CommandRegistrar kFailuresRegistrar({"failures", "list a folder upload's failed members",
                                           nullptr, &DeclareFailures});

}  // namespace
}  // namespace vexa::cli
