#include "apps/cli/api_option.h"

#include <CLI/CLI.hpp>

#include <cstdio>

#include "account/account_api.h"
#include "account/api_base.h"

namespace vexa::cli {

void AddApiOption(CLI::App* command, std::string* api) {
  command->add_option("--api", *api,
                      "account API base, such as http://host:port (default: $VEXAUPLOAD_API, else the one "
                      "remembered by the last login)");
}

bool UseApiBase(const std::string& option) {
  const std::string base = ChooseApiBase(option);
  if (base.empty()) {
    std::fputs("vexaupload: no account API address: give --api URL, set VEXAUPLOAD_API, or log in once with "
               "`vexaupload login --api URL ACCOUNT`\n",
               stderr);
    return false;
  }
  SetAccountApiBase(base);
  return true;
}

}  // namespace vexa::cli
