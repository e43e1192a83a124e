// `vexaupload version`: the version the control reports.
#include <CLI/CLI.hpp>

#include <cstdio>

#include "apps/cli/command.h"
#include "apps/cli/control_host.h"

namespace vexa::cli {
namespace {

std::function<int()> DeclareVersion(CLI::App* command) {
  command->footer("Prints the version the control reports (the one every login names).");
  return [] {
    CUpload control;
    std::printf("vexaupload %s\n", Utf8Of(&CUpload::GetPluginVersion, control).c_str());
    return static_cast<int>(kExitOk);
  };
}

const CommandRegistrar kVersionRegistrar({"version", "print the version", nullptr, &DeclareVersion});

}  // namespace
}  // namespace vexa::cli
