// `vexaupload upload [--target ID] [--limit-rate RATE] PATH...`: uploads files and folders with
// progress bars, logging in with the remembered account.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "apps/cli/argument_checks.h"
#include "apps/cli/command.h"
#include "apps/cli/control_host.h"
#include "apps/cli/session_options.h"
#include "apps/cli/upload_requests.h"
#include "apps/cli/upload_watch.h"
#include "codec/text.h"

namespace vexa::cli {
namespace {

struct UploadOptions {
  SessionOptions session;
  std::string target;
  std::string limit_rate;
  std::vector<std::string> paths;
};

// Another upload runs on this data folder (they would share its resume
// store): that one takes the paths and shows their progress. Returns the exit
// status, or -1 once this process holds the lock itself (the other ended).
int HandToRunningUpload(const std::vector<std::string>& paths, const UploadOptions& o,
                        uint32_t holder) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    bool posted = true;
    for (const std::string& p : paths)
      posted = PostUploadRequest({"upload", p, o.target}) && posted;
    if (posted && WaitForUploadRequestsTaken(5000)) {
      std::fprintf(o.session.json ? stderr : stdout,
                   "another vexaupload upload (process %u) runs on this data folder: it has taken "
                   "these paths "
                   "and shows their progress\n",
                   holder);
      return static_cast<int>(kExitOk);
    }
    // Not taken: it may have just ended.
    if (TakeUploadLock(&holder)) return -1;
  }
  std::fprintf(stderr,
               "vexaupload upload: another upload (process %u) holds this data folder and did not "
               "take the paths; "
               "try again when it ends\n",
               holder);
  return static_cast<int>(kExitFailed);
}

int RunUpload(const UploadOptions& o) {
  std::vector<std::string> paths;
  for (const std::string& p : o.paths) paths.push_back(UploadWatch::ControlPath(p));
  uint32_t holder = 0;
  if (!TakeUploadLock(&holder)) {
    if (!o.limit_rate.empty()) {
      std::fputs(
          "vexaupload upload: paths handed to the running upload go at its rate, not at "
          "--limit-rate\n",
          stderr);
    }
    const int status = HandToRunningUpload(paths, o, holder);
    if (status >= 0) return status;
  }
  ApplyLimitRate(o.limit_rate);
  return RunLoggedIn(o.session, [&o, &paths](CUpload& control, UploadWatch& watch) {
    const std::string target = o.target.empty() ? Utf8Of(&CUpload::GetTarget, control) : o.target;
    if (target.empty()) {
      std::fputs(
          "vexaupload upload: the account has no default target: name one with --target ID\n",
          stderr);
      return static_cast<int>(kExitFailed);
    }
    watch.Track(paths);
    for (const std::string& p : paths) control.AddUpload(Utf8ToWide(p), Utf8ToWide(target), 0, 1);
    return watch.Run();
  });
}

std::function<int()> DeclareUpload(CLI::App* command) {
  auto o = std::make_shared<UploadOptions>();
  command->footer(
      "Uploads files and folders (a folder with everything below it) into the account's default "
      "target, "
      "or the one named with --target, showing a progress bar per running upload and a total line. "
      "Uploads interrupted with Ctrl-C, or by anything else, continue where they were with "
      "`resume` or "
      "another `upload` of the same paths. Logs in with the account remembered by "
      "`vexaupload login --remember`. While another `upload` or `resume` runs on the same data "
      "folder, "
      "the paths are handed to it and it shows their progress.\n\nExit status: 0 all completed (or "
      "handed "
      "over), 1 some did not, 2 bad usage, 130 interrupted.");
  AddSessionOptions(command, &o->session);
  command->add_option("--target", o->target, "the remote folder id to upload into (digits)")
      ->check(CLI::Validator([](std::string& value) { return TargetIdProblem(value); }, ""))
      ->type_name("ID");
  AddLimitRateOption(command, &o->limit_rate);
  command->add_option("PATH", o->paths, "files and folders to upload")->required();
  return [o] { return RunUpload(*o); };
}

const CommandRegistrar kUploadRegistrar({"upload", "upload files and folders with progress bars",
                                         nullptr, &DeclareUpload});

}  // namespace
}  // namespace vexa::cli
