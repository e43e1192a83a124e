#include "port/file_lock.h"

#include <windows.h>

#include "port/win32/wide_path.h"

namespace vexa::port {

FileLock::Result FileLock::TryLock(const std::string& path) {
  Unlock();
  HANDLE file = ::CreateFileW(Widen(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Result::kFailed;
  OVERLAPPED at = {};
  if (!::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    const bool busy = ::GetLastError() == ERROR_LOCK_VIOLATION;
    ::CloseHandle(file);
    return busy ? Result::kBusy : Result::kFailed;
  }
  handle_ = reinterpret_cast<intptr_t>(file);
  return Result::kLocked;
}

void FileLock::Unlock() {
  if (handle_ == kNone) return;
  ::CloseHandle(reinterpret_cast<HANDLE>(handle_));  // releases the lock
  handle_ = kNone;
}

}  // namespace vexa::port
