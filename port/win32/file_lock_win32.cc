#include <windows.h>

#include <cstdlib>
#include <string>

#include "port/file_lock.h"
#include "port/last_error.h"
#include "port/process.h"
#include "port/win32/wide_path.h"

namespace vexa::port {

namespace {

// The locked byte lies past anything the file holds, so that others can
// still read the holder's id at its start.
constexpr DWORD kLockedOffsetHigh = 1;

}  // namespace

bool FileLock::TryLock(const std::string& path, uint32_t* holder) {
  *holder = 0;
  Unlock();
  HANDLE h = ::CreateFileW(WidePath(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    SetLastError(::GetLastError());
    return false;
  }
  OVERLAPPED at{};
  at.OffsetHigh = kLockedOffsetHigh;
  if (!::LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    if (::GetLastError() == ERROR_LOCK_VIOLATION) {
      char text[16] = {};
      DWORD read = 0;
      if (::ReadFile(h, text, sizeof(text) - 1, &read, nullptr) && read > 0) {
        *holder = static_cast<uint32_t>(std::strtoul(text, nullptr, 10));
      }
    } else {
      SetLastError(::GetLastError());
    }
    ::CloseHandle(h);
    return false;
  }
  const std::string pid = std::to_string(CurrentProcessId()) + "\n";
  DWORD written = 0;
  ::SetEndOfFile(h);
  ::WriteFile(h, pid.data(), static_cast<DWORD>(pid.size()), &written, nullptr);
  ::SetEndOfFile(h);
  handle_ = reinterpret_cast<intptr_t>(h);
  return true;
}

void FileLock::Unlock() {
  if (handle_ == -1) return;
  ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = -1;
}

}  // namespace vexa::port
