#ifndef VEXA_SERVER_LOGIN_GUARD_H_
#define VEXA_SERVER_LOGIN_GUARD_H_

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>

namespace vexa::server {

// What stands between a login request and a password check: signed login
// bodies are accepted once, and an account or address that keeps failing is
// refused for a while. Times are wall-clock milliseconds, passed in so that
// tests control them. Thread-safe.
class LoginGuard {
 public:
  // Failed logins within the window before further logins are refused: of
  // one account from one address; of one address, whatever the accounts; of
  // one account from anywhere. The last two are higher, so someone guessing
  // from elsewhere slows the owner's logins down only after many tries
  // instead of locking the owner out after ten.
  static constexpr int kMaxFailures = 10;
  static constexpr int kMaxAddressFailures = 50;
  static constexpr int kMaxAccountFailures = 100;
  static constexpr int64_t kFailureWindowMs = 60 * 1000;
  // A client repeats its own body only while its clock shows the same second,
  // so a repeat this soon from the same address is the same client logging in
  // twice, not a replay.
  static constexpr int64_t kRepeatGraceMs = 2000;

  LoginGuard() = default;
  LoginGuard(const LoginGuard&) = delete;
  LoginGuard& operator=(const LoginGuard&) = delete;

  // True when the account from this address, the address, or the account
  // has failed too often lately.
  bool Throttled(const std::string& account, const std::string& address, int64_t now_ms);
  // Counts one failed password check against all three.
  void RecordFailure(const std::string& account, const std::string& address, int64_t now_ms);

  // Records a correctly signed login; false when the same account, time and
  // sign were accepted before (see kRepeatGraceMs). The triple is remembered
  // until `valid_until_ms`, after which its time is refused anyway.
  bool FirstUse(const std::string& account, const std::string& time_text, const std::string& sign,
                const std::string& address, int64_t now_ms, int64_t valid_until_ms);

 private:
  struct Use {
    std::string address;
    int64_t first_ms;
  };

  // Drops what no longer matters at `now_ms`.
  void Sweep(int64_t now_ms);

  std::mutex mu_;
  // Times of the latest failures (at most the key's limit) per "p:" address
  // and account, "n:" address or "a:" account.
  std::map<std::string, std::deque<int64_t>> failures_;
  std::map<std::string, Use> uses_;                 // by account, time and sign
  std::multimap<int64_t, std::string> use_expiry_;  // valid_until_ms -> key of uses_
  int64_t next_sweep_ms_ = 0;
};

}  // namespace vexa::server

#endif  // VEXA_SERVER_LOGIN_GUARD_H_
