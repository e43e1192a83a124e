// `vexaupload list`: the unfinished uploads.
#include <json/json.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>

#include "apps/cli/command.h"
#include "apps/cli/event_payload.h"
#include "apps/cli/progress_view.h"
#include "apps/cli/session_options.h"
#include "apps/cli/sizes.h"
#include "apps/cli/upload_watch.h"

namespace vexa::cli {
namespace {

int RunList(const SessionOptions& o) {
  return RunLoggedIn(o, [&o](CUpload& control, UploadWatch& watch) {
    control.LoadTask();
    int shown = 0;
    for (const ProgressRow& row : watch.rows()) {
      if (row.final()) continue;
      ++shown;
      if (o.json) continue;  // the rows went out as LoadTaskEvent lines
      std::printf("%-9s %10s of %-10s %s%s\n", StatusName(row.status),
                  FormatSize(row.doneBytes).c_str(), FormatSize(row.totalBytes).c_str(),
                  row.localPath.c_str(), row.isFolder ? "/" : "");
    }
    if (o.json) {
      Json::Value line(Json::objectValue);
      line["result"] = "list";
      line["unfinished"] = shown;
      std::printf("%s\n", JsonLine(line).c_str());
    } else if (shown == 0) {
      std::puts("no unfinished uploads");
    }
    return static_cast<int>(kExitOk);
  });
}

std::function<int()> DeclareList(CLI::App* command) {
  auto o = std::make_shared<SessionOptions>();
  command->footer(
      "Lists the unfinished uploads (stopped, interrupted or waiting), one line each: status, "
      "bytes the "
      "service has, size and local path. A folder stands for its members.");
  AddSessionOptions(command, o.get());
  return [o] { return RunList(*o); };
}

const CommandRegistrar kListRegistrar({"list", "list the unfinished uploads", nullptr,
                                       &DeclareList});

}  // namespace
}  // namespace vexa::cli
