#ifndef VEXA_SERVER_WORKER_POOL_H_
#define VEXA_SERVER_WORKER_POOL_H_

#include <httplib.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace vexa::server {

// The HTTP server's connections run on a fixed set of threads; at most
// `max_waiting` more wait for one. A connection beyond that is not queued:
// its job runs at once on the accepting thread with Overflowing() true, so
// that it can be answered "busy" and closed without reading from the client.
class WorkerPool : public httplib::TaskQueue {
 public:
  WorkerPool(size_t workers, size_t max_waiting);
  ~WorkerPool() override;
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  void enqueue(std::function<void()> fn) override;
  // Runs the jobs already queued, then stops the threads.
  void shutdown() override;

  // True inside a job the pool had no room for.
  static bool Overflowing();

 private:
  void Work();

  const size_t max_jobs_;  // running and waiting
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> jobs_;
  size_t running_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace vexa::server

#endif  // VEXA_SERVER_WORKER_POOL_H_
