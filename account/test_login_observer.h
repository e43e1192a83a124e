#ifndef VEXA_ACCOUNT_TEST_LOGIN_OBSERVER_H_
#define VEXA_ACCOUNT_TEST_LOGIN_OBSERVER_H_

// Test support: a login observer that counts its calls, notes the thread of
// the last OnLogin and lets a test wait for the end of a login.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "account/session.h"

namespace vexa {

class TestLoginObserver : public LoginObserver {
 public:
  TestLoginObserver() { AddLoginObserver(this); }
  ~TestLoginObserver() override { RemoveLoginObserver(this); }

  void OnLogin() override {
    std::lock_guard<std::mutex> l(mu_);
    ++logins_;
    login_thread_ = std::this_thread::get_id();
    cv_.notify_all();
  }
  void OnLogout() override {
    std::lock_guard<std::mutex> l(mu_);
    ++logouts_;
  }

  // Waits until OnLogin has been called `count` times in all.
  bool WaitForLogins(int count, int timeout_ms = 30000) {
    std::unique_lock<std::mutex> l(mu_);
    return cv_.wait_for(l, std::chrono::milliseconds(timeout_ms), [&] { return logins_ >= count; });
  }
  int logins() {
    std::lock_guard<std::mutex> l(mu_);
    return logins_;
  }
  int logouts() {
    std::lock_guard<std::mutex> l(mu_);
    return logouts_;
  }
  std::thread::id login_thread() {
    std::lock_guard<std::mutex> l(mu_);
    return login_thread_;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  int logins_ = 0;
  int logouts_ = 0;
  std::thread::id login_thread_;
};

}  // namespace vexa

#endif  // VEXA_ACCOUNT_TEST_LOGIN_OBSERVER_H_
