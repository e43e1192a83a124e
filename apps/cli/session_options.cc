#include "apps/cli/session_options.h"

#include <CLI/CLI.hpp>
#include <cstdio>

#include "account/account_api.h"
#include "account/api_base.h"
#include "apps/cli/argument_checks.h"
#include "apps/cli/command.h"
#include "apps/cli/control_host.h"
#include "apps/cli/upload_watch.h"
#include "net/send_rate_limit.h"

namespace vexa::cli {

void AddApiOption(CLI::App* command, std::string* api) {
  command
      ->add_option(
          "--api", *api,
          "account API base, such as http://host:port (default: $VEXAUPLOAD_API, else the one "
          "remembered by the last login)")
      ->transform(CLI::Validator([](std::string& value) { return ApiAddressProblem(&value); }, ""))
      ->type_name("URL");
}

bool UseApiBase(const std::string& option) {
  const std::string base = ChooseApiBase(option);
  if (base.empty()) {
    std::fputs(
        "vexaupload: no account API address: give --api URL, set VEXAUPLOAD_API, or log in once "
        "with "
        "`vexaupload login --api URL ACCOUNT`\n",
        stderr);
    return false;
  }
  if (!IsSpokenBase(base)) {
    std::fprintf(stderr, "vexaupload: %s: %s\n", base.c_str(), kPlainHttpOnlyText);
    return false;
  }
  SetAccountApiBase(base);
  return true;
}

void AddLimitRateOption(CLI::App* command, std::string* rate) {
  command
      ->add_option(
          "--limit-rate", *rate,
          "send at most RATE bytes per second, averaged over a few seconds: 512K, 2M (K, M, G "
          "are binary multiples); no limit by default")
      ->check(CLI::Validator([](std::string& value) { return LimitRateProblem(value); }, ""))
      ->type_name("RATE");
}

void ApplyLimitRate(const std::string& rate) {
  uint64_t bytes_per_second = 0;
  if (!rate.empty()) LimitRateProblem(rate, &bytes_per_second);  // checked when parsed
  ProcessSendRateLimiter().SetRate(bytes_per_second);
}

void AddSessionOptions(CLI::App* command, SessionOptions* options) {
  AddApiOption(command, &options->api);
  command->add_flag(
      "--json", options->json,
      "print every event of the control as one JSON object per line: its name, identifier, "
      "payload as a page receives it, and decoded fields");
}

int RunLoggedIn(const SessionOptions& options,
                const std::function<int(CUpload&, UploadWatch&)>& body) {
  if (!UseApiBase(options.api)) return kExitUsage;
  ControlHost host;
  UploadWatch watch(&host, options.json);
  if (!host.LoginRemembered()) return kExitFailed;
  return body(host.control(), watch);
}

}  // namespace vexa::cli
