#include <windows.h>

#include <cstdlib>
#include <string>

#include "port/file_lock.h"
#include "port/process.h"
#include "port/win32/wide_path.h"

namespace vexa::port {

namespace {

// The locked byte lies past anything the file holds, so that others can
// still read the holder's id at its start.
constexpr DWORD kLockedOffsetHigh = 1;

}  // namespace

FileLock::Result FileLock::TryLock(const std::string& path, uint32_t* holder) {
  Unlock();
  if (holder != nullptr) *holder = 0;
  HANDLE file = ::CreateFileW(WidePath(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Result::kFailed;
  OVERLAPPED at = {};
  at.OffsetHigh = kLockedOffsetHigh;
  if (!::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    const bool busy = ::GetLastError() == ERROR_LOCK_VIOLATION;
    char text[16] = {};
    DWORD read = 0;
    if (busy && holder != nullptr && ::ReadFile(file, text, sizeof(text) - 1, &read, nullptr) &&
        read > 0) {
      *holder = static_cast<uint32_t>(std::strtoul(text, nullptr, 10));
    }
    ::CloseHandle(file);
    return busy ? Result::kBusy : Result::kFailed;
  }
  const std::string id = std::to_string(CurrentProcessId()) + "\n";
  DWORD written = 0;
  ::WriteFile(file, id.data(), static_cast<DWORD>(id.size()), &written, nullptr);
  ::SetEndOfFile(file);
  handle_ = reinterpret_cast<intptr_t>(file);
  return Result::kLocked;
}

void FileLock::Unlock() {
  if (handle_ == kNone) return;
  ::CloseHandle(reinterpret_cast<HANDLE>(handle_));  // releases the lock
  handle_ = kNone;
}

}  // namespace vexa::port
