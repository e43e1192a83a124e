#ifndef VEXA_PORT_FILE_LOCK_H_
#define VEXA_PORT_FILE_LOCK_H_

#include <cstdint>
#include <string>

namespace vexa::port {

// An advisory lock that one holder at a time has on a file. The system lets
// go of it when the holding process ends, a crash included, so no stale lock
// is ever left for a user to remove by hand.
class FileLock {
 public:
  FileLock() = default;
  ~FileLock() { Unlock(); }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // Takes the lock on `path` (created private when missing) without waiting,
  // and writes this process's id into the file. False when someone else holds
  // it (`*holder` is then the process id the holder wrote, 0 when unknown) or
  // when the file cannot be opened (`*holder` 0, LastError set).
  bool TryLock(const std::string& path, uint32_t* holder);
  void Unlock();

 private:
  intptr_t handle_ = -1;
};

}  // namespace vexa::port

#endif  // VEXA_PORT_FILE_LOCK_H_
