#include "control/message_queue.h"

#include <chrono>

namespace vexa {

bool MessageQueue::Post(uint32_t id, std::unique_ptr<std::string> text) {
  {
    std::lock_guard<std::mutex> l(mu_);
    if (closed_) return false;
    if (forward_) {
      forward_(id, std::move(text));
      return true;
    }
    messages_.push_back(QueuedMessage{id, std::move(text)});
    if (wakeup_) wakeup_();
  }
  cv_.notify_all();
  return true;
}

std::deque<QueuedMessage> MessageQueue::TakeAll() {
  std::lock_guard<std::mutex> l(mu_);
  std::deque<QueuedMessage> taken;
  taken.swap(messages_);
  return taken;
}

bool MessageQueue::Wait(uint32_t timeout_ms) {
  std::unique_lock<std::mutex> l(mu_);
  cv_.wait_for(l, std::chrono::milliseconds(timeout_ms),
               [this] { return closed_ || !messages_.empty(); });
  return !messages_.empty();
}

void MessageQueue::SetWakeup(std::function<void()> wakeup) {
  std::lock_guard<std::mutex> l(mu_);
  wakeup_ = std::move(wakeup);
}

void MessageQueue::SetForward(Forward forward) {
  std::lock_guard<std::mutex> l(mu_);
  forward_ = std::move(forward);
  // Reports posted before the host set its forward would otherwise wait in a
  // queue it never reads; under the lock, they stay ahead of later posts.
  if (!forward_) return;
  while (!messages_.empty()) {
    QueuedMessage m = std::move(messages_.front());
    messages_.pop_front();
    forward_(m.id, std::move(m.text));
  }
}

void MessageQueue::Close() {
  std::deque<QueuedMessage> dropped;
  {
    std::lock_guard<std::mutex> l(mu_);
    closed_ = true;
    wakeup_ = nullptr;
    forward_ = nullptr;
    dropped.swap(messages_);
  }
  cv_.notify_all();
}

size_t MessageQueue::size() const {
  std::lock_guard<std::mutex> l(mu_);
  return messages_.size();
}

}  // namespace vexa
