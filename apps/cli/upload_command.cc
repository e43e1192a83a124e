// `vexaupload upload [--target ID] PATH...`: uploads files and folders with
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
#include "apps/cli/upload_watch.h"
#include "codec/text.h"

namespace vexa::cli {
namespace {

struct UploadOptions {
  SessionOptions session;
  std::string target;
  std::vector<std::string> paths;
};

int RunUpload(const UploadOptions& o) {
  port::FileLock lock;
  if (!LockUploads(&lock, "upload")) return kExitFailed;
  return RunLoggedIn(o.session, [&o](CUpload& control, UploadWatch& watch) {
    const std::string target = o.target.empty() ? Utf8Of(&CUpload::GetTarget, control) : o.target;
    if (target.empty()) {
      std::fputs("vexaupload upload: the account has no default target: name one with --target ID\n", stderr);
      return static_cast<int>(kExitFailed);
    }
    std::vector<std::string> paths;
    for (const std::string& p : o.paths) paths.push_back(UploadWatch::ControlPath(p));
    watch.Track(paths);
    for (const std::string& p : paths) control.AddUpload(Utf8ToWide(p), Utf8ToWide(target), 0, 1);
    return watch.Run();
  });
}

std::function<int()> DeclareUpload(CLI::App* command) {
  auto o = std::make_shared<UploadOptions>();
  command->footer(
      "Uploads files and folders (a folder with everything below it) into the account's default target, "
      "or the one named with --target, showing a progress bar per running upload and a total line. "
      "Uploads interrupted with Ctrl-C, or by anything else, continue where they were with `resume` or "
      "another `upload` of the same paths. Logs in with the account remembered by "
      "`vexaupload login --remember`.\n\nExit status: 0 all completed, 1 some did not, 2 bad usage, "
      "130 interrupted.");
  AddSessionOptions(command, &o->session);
  command->add_option("--target", o->target, "the remote folder id to upload into (digits)")
      ->check(CLI::Validator([](std::string& value) { return TargetIdProblem(value); }, ""))
      ->type_name("ID");
  command->add_option("PATH", o->paths, "files and folders to upload")->required();
  return [o] { return RunUpload(*o); };
}

const CommandRegistrar kUploadRegistrar({"upload", "upload files and folders with progress bars", nullptr,
                                   &DeclareUpload});

}  // namespace
}  // namespace vexa::cli
