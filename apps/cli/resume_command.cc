// `vexaupload resume`: continues every unfinished upload.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "apps/cli/command.h"
#include "apps/cli/session_options.h"
#include "apps/cli/upload_requests.h"
#include "apps/cli/upload_watch.h"
#include "codec/text.h"

namespace vexa::cli {
namespace {

struct ResumeOptions {
  SessionOptions session;
  std::string limit_rate;
};

int RunResume(const ResumeOptions& options) {
  const SessionOptions& o = options.session;
  uint32_t holder = 0;
  if (!TakeUploadLock(&holder)) {
    std::fprintf(stderr,
                 "vexaupload resume: another upload (process %u) runs on this data folder; its "
                 "uploads go on "
                 "there. Run `vexaupload resume` when it ends.\n",
                 holder);
    return static_cast<int>(kExitFailed);
  }
  ApplyLimitRate(options.limit_rate);
  return RunLoggedIn(o, [&o](CUpload& control, UploadWatch& watch) {
    control.LoadTask();
    // The login restored every unfinished upload as stopped: a file, or a
    // folder standing for its members.
    std::vector<std::string> paths;
    for (const ProgressRow& row : watch.rows()) {
      if (row.status == kStopped) paths.push_back(row.localPath);
    }
    if (paths.empty()) {
      if (!o.json) std::puts("nothing to resume");
      return static_cast<int>(kExitOk);
    }
    watch.Track(paths);
    for (const std::string& p : paths) control.StartUpload(Utf8ToWide(p));
    return watch.Run();
  });
}

std::function<int()> DeclareResume(CLI::App* command) {
  auto o = std::make_shared<ResumeOptions>();
  command->footer(
      "Continues every unfinished upload (those `vexaupload list` shows) from where the service "
      "has it, "
      "with the same progress display as `upload`.\n\nExit status: 0 all completed, 1 some did "
      "not, "
      "130 interrupted.");
  AddSessionOptions(command, &o->session);
  AddLimitRateOption(command, &o->limit_rate);
  return [o] { return RunResume(*o); };
}

const CommandRegistrar kResumeRegistrar({"resume", "continue every unfinished upload", nullptr,
                                         &DeclareResume});

}  // namespace
}  // namespace vexa::cli
