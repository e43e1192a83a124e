#include "apps/cli/control_host.h"

#include <cstdio>
#include <mutex>

#include "account/account_file.h"
#include "apps/cli/failure_text.h"
#include "codec/text.h"
#include "control/method_table.h"
#include "control/payload.h"
#include "port/clock.h"

namespace vexa::cli {
namespace {

// The login has its own connect and receive time-outs; this only ends the
// wait when no result is posted at all (another login still running).
constexpr uint64_t kLoginWaitMs = 300 * 1000;

}  // namespace

ControlHost::ControlHost() {
  static std::once_flag installed;
  std::call_once(installed, InstallUploadWorkers);
  control_ = std::make_unique<CUpload>();
  control_->SetEventSink([this](const EventInfo& event, const std::u16string& payload) {
    if (handler_) handler_(event.dispid, WideToUtf8(payload));
  });
}

void ControlHost::Pump(uint32_t timeout_ms) {
  control_->messages().Wait(timeout_ms);
  control_->DispatchMessages();
}

bool ControlHost::LoginRemembered() {
  std::string account, digest;
  bool remember = false, auto_login = false;
  if (!ReadRememberedAccount(&account, &digest, &remember, &auto_login) || digest.empty()) {
    std::fputs(
        "vexaupload: no remembered account: log in once with `vexaupload login --remember "
        "ACCOUNT`\n",
        stderr);
    return false;
  }
  std::string result;
  EventHandler saved = std::move(handler_);
  handler_ = [&result, &saved](int dispid, const std::string& payload) {
    if (dispid == kLoginEvent) result = UnescapeUnicode(payload);
    if (saved) saved(dispid, payload);
  };
  control_->Login(Utf8ToWide(account), Utf8ToWide(digest), remember ? 1 : 0, auto_login ? 1 : 0);
  const uint64_t deadline = port::MonotonicMillis() + kLoginWaitMs;
  while (result.empty() && port::MonotonicMillis() < deadline) Pump(100);
  handler_ = std::move(saved);
  if (result == "1|ok") return true;
  std::fprintf(stderr, "vexaupload: login as %s failed: %s\n", account.c_str(),
               result.empty() ? "no answer" : FailureText(0, result.substr(2)).c_str());
  return false;
}

std::string Utf8Of(void (CUpload::*getter)(std::u16string*), CUpload& control) {
  std::u16string value;
  (control.*getter)(&value);
  return WideToUtf8(value);
}

}  // namespace vexa::cli
