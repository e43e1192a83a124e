#include "server/login_guard.h"

#include <vector>

namespace vexa::server {

namespace {

struct Limit {
  std::string key;
  size_t most;
};

// The keys a login counts against. The account is last in the pair's key: it
// may hold any byte, an address not.
std::vector<Limit> LimitsOf(const std::string& account, const std::string& address) {
  return {{"p:" + address + "\n" + account, LoginGuard::kMaxFailures},
          {"n:" + address, LoginGuard::kMaxAddressFailures},
          {"a:" + account, LoginGuard::kMaxAccountFailures}};
}

}  // namespace

bool LoginGuard::Throttled(const std::string& account, const std::string& address, int64_t now_ms) {
  std::lock_guard<std::mutex> lock(mu_);
  Sweep(now_ms);
  for (const Limit& limit : LimitsOf(account, address)) {
    auto it = failures_.find(limit.key);
    if (it == failures_.end() || it->second.size() < limit.most) continue;
    if (now_ms - it->second.front() < kFailureWindowMs) return true;
  }
  return false;
}

void LoginGuard::RecordFailure(const std::string& account, const std::string& address,
                               int64_t now_ms) {
  std::lock_guard<std::mutex> lock(mu_);
  for (const Limit& limit : LimitsOf(account, address)) {
    std::deque<int64_t>& times = failures_[limit.key];
    times.push_back(now_ms);
    if (times.size() > limit.most) times.pop_front();
  }
}

bool LoginGuard::FirstUse(const std::string& account, const std::string& time_text,
                          const std::string& sign, const std::string& address, int64_t now_ms,
                          int64_t valid_until_ms) {
  std::lock_guard<std::mutex> lock(mu_);
  Sweep(now_ms);
  // The account is the last field: it may hold any byte, the others not.
  const std::string key = time_text + "\n" + sign + "\n" + account;
  auto [it, inserted] = uses_.try_emplace(key, Use{address, now_ms});
  if (inserted) {
    use_expiry_.emplace(valid_until_ms, key);
    return true;
  }
  return it->second.address == address && now_ms - it->second.first_ms <= kRepeatGraceMs;
}

void LoginGuard::Sweep(int64_t now_ms) {
  while (!use_expiry_.empty() && use_expiry_.begin()->first < now_ms) {
    uses_.erase(use_expiry_.begin()->second);
    use_expiry_.erase(use_expiry_.begin());
  }
  // Failures are swept as a whole now and then; between sweeps the map grows
  // by at most three keys per failed login.
  if (now_ms < next_sweep_ms_) return;
  next_sweep_ms_ = now_ms + kFailureWindowMs;
  for (auto it = failures_.begin(); it != failures_.end();) {
    it = now_ms - it->second.back() >= kFailureWindowMs ? failures_.erase(it) : std::next(it);
  }
}

}  // namespace vexa::server
