#include "server/worker_pool.h"

namespace vexa::server {

namespace {

thread_local bool overflowing = false;

}  // namespace

WorkerPool::WorkerPool(size_t workers, size_t max_waiting) : max_jobs_(workers + max_waiting) {
  for (size_t i = 0; i < workers; ++i) threads_.emplace_back([this] { Work(); });
}

WorkerPool::~WorkerPool() { shutdown(); }

bool WorkerPool::Overflowing() { return overflowing; }

void WorkerPool::enqueue(std::function<void()> fn) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!stopping_ && jobs_.size() + running_ < max_jobs_) {
      jobs_.push_back(std::move(fn));
      cv_.notify_one();
      return;
    }
  }
  overflowing = true;
  fn();
  overflowing = false;
}

void WorkerPool::shutdown() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  cv_.notify_all();
  for (std::thread& t : threads_) {
    if (t.joinable()) t.join();
  }
}

void WorkerPool::Work() {
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock<std::mutex> lock(mu_);
      cv_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (jobs_.empty()) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
      ++running_;
    }
    job();
    std::lock_guard<std::mutex> lock(mu_);
    --running_;
  }
}

}  // namespace vexa::server
