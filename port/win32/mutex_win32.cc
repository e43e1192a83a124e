#include <windows.h>

#include "port/mutex.h"

namespace vexa::port {

RecursiveMutex::RecursiveMutex() : handle_(::CreateMutexW(nullptr, FALSE, nullptr)) {}

RecursiveMutex::~RecursiveMutex() {
  if (handle_ == nullptr) return;
  // Waits for a holder to let go before the object goes away.
  ::WaitForSingleObject(handle_, INFINITE);
  ::CloseHandle(handle_);
}

// A mutex left by a thread that ended while holding it (WAIT_ABANDONED) is
// owned by the waiter all the same.
void RecursiveMutex::LockOs() { ::WaitForSingleObject(handle_, INFINITE); }

void RecursiveMutex::UnlockOs() { ::ReleaseMutex(handle_); }

bool RecursiveMutex::TryLockOs() {
  const DWORD r = ::WaitForSingleObject(handle_, 0);
  return r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
}

}  // namespace vexa::port
