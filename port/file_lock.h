#ifndef VEXA_PORT_FILE_LOCK_H_
#define VEXA_PORT_FILE_LOCK_H_

#include <cstdint>
#include <string>

namespace vexa::port {

// An advisory, exclusive lock on a file, held until Unlock, destruction or
// the end of the process (a crash releases it too, so it never goes stale).
// Two FileLocks on one path exclude each other within a process as well.
class FileLock {
 public:
  FileLock() = default;
  ~FileLock() { Unlock(); }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  enum class Result { kLocked, kBusy, kFailed };
  // Takes the lock on `path` (created 0600 when missing) without waiting and
  // writes this process's id into the file: kBusy when another holder has it
  // (`*holder`, if given, is then the id that holder wrote, 0 when unknown),
  // kFailed when the file cannot be opened or locked.
  Result TryLock(const std::string& path, uint32_t* holder = nullptr);
  void Unlock();
  bool locked() const { return handle_ != kNone; }

 private:
  static constexpr intptr_t kNone = -1;
  intptr_t handle_ = kNone;  // a descriptor, or a HANDLE on Windows
};

}  // namespace vexa::port

#endif  // VEXA_PORT_FILE_LOCK_H_
