#ifndef VEXA_ACCOUNT_LOGIN_H_
#define VEXA_ACCOUNT_LOGIN_H_

#include <cstdint>
#include <string>

namespace vexa {

// The client version every login names.
inline constexpr char kClientVersion[] = "win_1.0.1026.4";

// Logs in with `account` and `password` (UTF-8). When the session is logged in
// already, nothing is sent: every observer's OnLogin runs at once on the
// caller's thread. Otherwise the login runs on a detached thread of its own,
// which fills the session, remembers the account (the digest only when
// `remember` is set) and ends by calling every observer's OnLogin there.
// False when another login is still running (one at a time) or no thread
// could be started; no observer is called then.
bool StartLogin(const std::string& account, const std::string& password, bool remember,
                bool auto_login);

// The form posted to "/app/clogin": account, _time, version and sign in that
// order, each value escaped with EncodeFormValue. The signature is taken over
// the raw account.
std::string BuildLoginBody(const std::string& account, const std::string& digest,
                           const std::string& time_text);

}  // namespace vexa

#endif  // VEXA_ACCOUNT_LOGIN_H_
