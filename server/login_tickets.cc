#include "server/login_tickets.h"

#include "server/random.h"

namespace vexa::server {

void LoginTickets::DropExpired(int64_t now_ms) {
  for (auto user = tickets_.begin(); user != tickets_.end();) {
    std::vector<Ticket>& list = user->second;
    std::erase_if(list, [now_ms](const Ticket& t) { return t.expires_ms <= now_ms; });
    user = list.empty() ? tickets_.erase(user) : std::next(user);
  }
}

std::string LoginTickets::Issue(int64_t user, int64_t now_ms) {
  std::string text = RandomKey() + RandomText("0123456789abcdef", 8);
  std::lock_guard<std::mutex> lock(mu_);
  DropExpired(now_ms);
  std::vector<Ticket>& list = tickets_[user];
  if (list.size() >= kPerUser) list.erase(list.begin());
  list.push_back({text, now_ms + kLifetimeMs});
  return text;
}

bool LoginTickets::Redeem(int64_t user, int64_t now_ms,
                          const std::function<bool(const std::string& ticket)>& signed_with) {
  std::lock_guard<std::mutex> lock(mu_);
  DropExpired(now_ms);
  auto it = tickets_.find(user);
  if (it == tickets_.end()) return false;
  std::vector<Ticket>& list = it->second;
  for (auto t = list.begin(); t != list.end(); ++t) {
    if (!signed_with(t->text)) continue;
    list.erase(t);
    if (list.empty()) tickets_.erase(it);
    return true;
  }
  return false;
}

}  // namespace vexa::server
