// `vexaupload logout`: forgets the remembered account.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <string>

#include "account/account_file.h"
#include "apps/cli/command.h"
#include "port/file.h"

namespace vexa::cli {
namespace {

int RunLogout() {
  std::string folder, account, digest;
  bool remember = false, auto_login = false;
  if (!GetDataFolder(&folder) ||
      !ReadRememberedAccount(&account, &digest, &remember, &auto_login)) {
    std::puts("no remembered account");
    return kExitOk;
  }
  // The file holds the password digest, which is enough to log in: it goes.
  if (!port::RemoveFile(folder + "account.ini")) {
    std::fprintf(stderr, "vexaupload logout: cannot remove %saccount.ini\n", folder.c_str());
    return kExitFailed;
  }
  std::printf("forgot the account %s; unfinished uploads stay for its next login\n",
              account.c_str());
  return kExitOk;
}

std::function<int()> DeclareLogout(CLI::App* command) {
  command->footer(
      "Forgets the remembered account and its password digest, so no later command logs in without "
      "`vexaupload login`. The resume records of unfinished uploads stay.");
  return [] { return RunLogout(); };
}

const CommandRegistrar kLogoutRegistrar({"logout", "forget the remembered account", nullptr,
                                         &DeclareLogout});

}  // namespace
}  // namespace vexa::cli
