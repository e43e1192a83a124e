#include "account/login.h"

#include <atomic>

#include "account/account_api.h"
#include "account/account_file.h"
#include "account/api_base.h"
#include "account/session.h"
#include "codec/login_sign.h"
#include "codec/text.h"
#include "net/http_client.h"
#include "net/network_failure.h"
#include "port/env.h"
#include "port/thread.h"

namespace vexa {
namespace {

// "请检查你的网络连接" (check your network connection), in the ANSI code page.
constexpr char kCheckNetworkAnsi[] =
    "\xc7\xeb\xbc\xec\xb2\xe9\xc4\xe3\xb5\xc4\xcd\xf8\xc2\xe7\xc1\xac\xbd\xd3";

// Set while a login thread runs; a second login is refused meanwhile.
std::atomic<bool> login_running{false};

uint64_t LoginTime() { return port::CurrentEnv()->UnixTimeSeconds(); }

void SetLastError(const std::string& text) {
  UpdateAccountState([&text](AccountState* state) { state->lastError = text; });
}

// Everything of a login but the notification. Failures leave the logged-in
// flag clear and, where there is one, a text for the page.
void RunLogin(const std::string& account, const std::string& password, bool remember,
              bool auto_login) {
  EnsureAccountFilePath();
  std::string digest;
  if (!PasswordDigest(password, &digest)) return;  // empty password: nothing to send
  const std::string base = AccountApiBase();
  if (base.empty()) {
    SetLastError(kNoAccountApiText);
    return;
  }
  if (!IsSpokenBase(base)) {
    SetLastError(kPlainHttpOnlyText);
    return;
  }
  const std::string body = BuildLoginBody(account, digest, FormatU64(LoginTime()));
  const uint64_t logouts = LogoutCount();
  std::string answer;
  if (!ProcessHttpClient().Post(base + "/app/clogin", body, &answer)) {
    // A refused certificate is no network trouble: say which and why.
    SetLastError(LastConnectionRefusedForSecurity() ? LastNetworkFailure()
                                                    : AnsiToUtf8(kCheckNetworkAnsi));
    return;
  }
  // An answer that is not JSON leaves the session as it was.
  ApplyLoginAnswer(answer, account, digest, remember, auto_login, logouts);
  // Later commands find the service that accepted the account.
  if (IsLoggedIn()) WriteRememberedApiBase(base);
}

}  // namespace

std::string BuildLoginBody(const std::string& account, const std::string& digest,
                           const std::string& time_text) {
  const std::string sign = LoginSign(account, digest, time_text);
  return "account=" + EncodeFormValue(account) + "&_time=" + EncodeFormValue(time_text) +
         "&version=" + EncodeFormValue(kClientVersion) + "&sign=" + EncodeFormValue(sign);
}

bool StartLogin(const std::string& account, const std::string& password, bool remember,
                bool auto_login) {
  if (IsLoggedIn()) {
    NotifyLoginObservers();
    return true;
  }
  bool idle = false;
  if (!login_running.compare_exchange_strong(idle, true)) return false;
  // A login that ended between the check above and taking the flag has logged
  // the user in: report it rather than log in twice.
  if (IsLoggedIn()) {
    login_running.store(false);
    NotifyLoginObservers();
    return true;
  }
  const bool started = port::StartDetachedThread([account, password, remember, auto_login] {
    RunLogin(account, password, remember, auto_login);
    // The attempt has ended once the session holds its outcome, so an observer
    // may start the next one from OnLogin.
    login_running.store(false);
    NotifyLoginObservers();
  });
  if (!started) login_running.store(false);
  return started;
}

}  // namespace vexa
