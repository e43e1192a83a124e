#ifndef VEXA_PORT_MUTEX_H_
#define VEXA_PORT_MUTEX_H_

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

#include "port/thread_annotations.h"

namespace vexa::port {

// Stops the process with `what` on the debug output and stderr: a lock was
// used against its contract (taken twice, or relied on without being held).
[[noreturn]] void LockContractBroken(const char* what);

// A plain in-process lock. Taking it again on the thread that holds it is a
// fault, reported at once rather than left to deadlock; AssertHeld checks
// that the calling thread holds it.
class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ACQUIRE() {
    if (HeldByThisThread()) LockContractBroken("port::Mutex taken again by its holder");
    mu_.lock();
    owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
  }
  void Unlock() RELEASE() {
    owner_.store(std::thread::id(), std::memory_order_relaxed);
    mu_.unlock();
  }
  bool TryLock() TRY_ACQUIRE(true) {
    if (HeldByThisThread() || !mu_.try_lock()) return false;
    owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    return true;
  }
  void AssertHeld() const ASSERT_CAPABILITY(this) {
    if (!HeldByThisThread()) LockContractBroken("port::Mutex not held where required");
  }

 private:
  // Only the holder stores its own id, so a relaxed load on the holder's
  // thread sees it, and any other thread sees some other value.
  bool HeldByThisThread() const {
    return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id();
  }

  std::mutex mu_;
  std::atomic<std::thread::id> owner_{};
};

// A re-entrant lock: the thread that holds it may take it again, and must let
// go as often. For the locks whose holders call back into code that takes them
// again (the engine's registry lock around the notice callback, an INI file's
// lock around its readers). Every acquisition waits without limit. On Windows
// it is an unnamed mutex object, which destruction first acquires and then
// closes.
class CAPABILITY("mutex") RecursiveMutex {
 public:
#if defined(_WIN32)
  RecursiveMutex();
  ~RecursiveMutex();
#else
  RecursiveMutex() = default;
#endif
  RecursiveMutex(const RecursiveMutex&) = delete;
  RecursiveMutex& operator=(const RecursiveMutex&) = delete;

  void Lock() ACQUIRE() {
    LockOs();
    Entered();
  }
  void Unlock() RELEASE() {
    if (--depth_ == 0) owner_.store(std::thread::id(), std::memory_order_relaxed);
    UnlockOs();
  }
  bool TryLock() TRY_ACQUIRE(true) {
    if (!TryLockOs()) return false;
    Entered();
    return true;
  }
  void AssertHeld() const ASSERT_CAPABILITY(this) {
    if (owner_.load(std::memory_order_relaxed) != std::this_thread::get_id()) {
      LockContractBroken("port::RecursiveMutex not held where required");
    }
  }

 private:
  // A lock its last holder's thread left behind while holding it (Windows
  // hands it on) starts a new count.
  void Entered() {
    if (owner_.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
      ++depth_;
      return;
    }
    owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    depth_ = 1;
  }
#if defined(_WIN32)
  void LockOs();
  void UnlockOs();
  bool TryLockOs();
  void* handle_;
#else
  void LockOs() { mu_.lock(); }
  void UnlockOs() { mu_.unlock(); }
  bool TryLockOs() { return mu_.try_lock(); }
  std::recursive_mutex mu_;
#endif
  std::atomic<std::thread::id> owner_{};
  uint32_t depth_ = 0;  // only the holder touches it
};

// Holds a Mutex or RecursiveMutex for the lifetime of the scope; Unlock and
// Lock let go of it and take it again within the scope.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex* mu) ACQUIRE(mu) : mu_(mu) { mu_->Lock(); }
  explicit MutexLock(RecursiveMutex* mu) ACQUIRE(mu) : rmu_(mu) { rmu_->Lock(); }
  ~MutexLock() RELEASE() {
    if (held_) Release();
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void Unlock() RELEASE() {
    Release();
    held_ = false;
  }
  // The analysis follows the scope's capability, not which of the two
  // members holds it.
  void Lock() ACQUIRE() NO_THREAD_SAFETY_ANALYSIS {
    if (mu_ != nullptr) mu_->Lock();
    if (rmu_ != nullptr) rmu_->Lock();
    held_ = true;
  }

 private:
  void Release() NO_THREAD_SAFETY_ANALYSIS {
    if (mu_ != nullptr) mu_->Unlock();
    if (rmu_ != nullptr) rmu_->Unlock();
  }

  Mutex* const mu_ = nullptr;
  RecursiveMutex* const rmu_ = nullptr;
  bool held_ = true;
};

}  // namespace vexa::port

#endif  // VEXA_PORT_MUTEX_H_
