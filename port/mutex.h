#ifndef VEXA_PORT_MUTEX_H_
#define VEXA_PORT_MUTEX_H_

#include <mutex>

namespace vexa::port {

// A re-entrant in-process lock: the thread that holds it may take it again.
// Every acquisition waits without limit. On Windows it is an unnamed mutex
// object, which destruction first acquires and then closes.
class Mutex {
 public:
#if defined(_WIN32)
  Mutex();
  ~Mutex();
  void Lock();
  void Unlock();
  bool TryLock();
#else
  Mutex() = default;
  void Lock() { mu_.lock(); }
  void Unlock() { mu_.unlock(); }
  bool TryLock() { return mu_.try_lock(); }
#endif
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  // For std::lock_guard / std::unique_lock.
  void lock() { Lock(); }
  void unlock() { Unlock(); }

 private:
#if defined(_WIN32)
  void* handle_;
#else
  std::recursive_mutex mu_;
#endif
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
