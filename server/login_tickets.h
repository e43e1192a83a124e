#ifndef VEXA_SERVER_LOGIN_TICKETS_H_
#define VEXA_SERVER_LOGIN_TICKETS_H_

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace vexa::server {

// One-time tickets through which the web site's signed-in page signs the
// local uploader in as its own user without asking for the password again.
// A ticket is 40 random hex digits, so the client signs its API login with it
// exactly as with a password digest; the service accepts it once, for its
// user only, within kLifetimeMs. The page holds only the ticket, never the
// digest, and a ticket that leaks is worth one login within a minute.
class LoginTickets {
 public:
  static constexpr int64_t kLifetimeMs = 60 * 1000;
  // Live tickets per user; the oldest goes when a page asks for more.
  static constexpr size_t kPerUser = 8;

  LoginTickets() = default;
  LoginTickets(const LoginTickets&) = delete;
  LoginTickets& operator=(const LoginTickets&) = delete;

  // A new ticket for `user`.
  std::string Issue(int64_t user, int64_t now_ms);

  // Whether a live ticket of `user` makes `signed_with` true; that ticket is
  // used up. A leaf lock: callers may hold the service's metadata lock.
  bool Redeem(int64_t user, int64_t now_ms,
              const std::function<bool(const std::string& ticket)>& signed_with);

 private:
  struct Ticket {
    std::string text;
    int64_t expires_ms;
  };
  void DropExpired(int64_t now_ms);  // REQUIRES: mu_ held

  std::mutex mu_;
  std::map<int64_t, std::vector<Ticket>> tickets_;  // guarded by mu_
};

}  // namespace vexa::server

#endif  // VEXA_SERVER_LOGIN_TICKETS_H_
