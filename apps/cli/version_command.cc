// `vexaupload version`: the command line's version and the control's.
#include <CLI/CLI.hpp>
#include <cstdio>

#include "apps/cli/command.h"
#include "apps/cli/control_host.h"
#include "apps/cli/version_text.h"

namespace vexa::cli {

std::string VersionText() {
  CUpload control;
  return std::string("vexaupload ") + kCliVersion + "\nupload control " +
         Utf8Of(&CUpload::GetPluginVersion, control) +
         " (the version every login names to the service)";
}

namespace {

std::function<int()> DeclareVersion(CLI::App* command) {
  command->footer(
      "Prints the command line's version and the upload control's (the one every login names).");
  return [] {
    std::printf("%s\n", VersionText().c_str());
    return static_cast<int>(kExitOk);
  };
}

const CommandRegistrar kVersionRegistrar({"version", "print the version", nullptr,
                                          &DeclareVersion});

}  // namespace
}  // namespace vexa::cli
