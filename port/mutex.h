#ifndef VEXA_PORT_MUTEX_H_
#define VEXA_PORT_MUTEX_H_

#include <mutex>

namespace vexa::port {

// A re-entrant in-process lock: the thread that holds it may take it again.
// Every acquisition waits without limit.
class Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() { mu_.lock(); }
  void Unlock() { mu_.unlock(); }
  bool TryLock() { return mu_.try_lock(); }

  // For std::lock_guard / std::unique_lock.
  void lock() { Lock(); }
  void unlock() { Unlock(); }

 private:
  std::recursive_mutex mu_;
};

// Holds a Mutex for the lifetime of the scope.
class MutexLock {
 public:
  explicit MutexLock(Mutex* mu) : mu_(mu) { mu_->Lock(); }
  ~MutexLock() { mu_->Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex* const mu_;
};

}  // namespace vexa::port

#endif  // VEXA_PORT_MUTEX_H_
