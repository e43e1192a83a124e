#include <windows.h>

#include "port/event.h"

namespace vexa::port {

Event::Event() : handle_(::CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

Event::~Event() {
  if (handle_ != nullptr) ::CloseHandle(handle_);
}

void Event::Set() { ::SetEvent(handle_); }

bool Event::Wait(uint32_t timeout_ms) {
  // INFINITE is 0xFFFFFFFF: a time-out that large still ends.
  if (timeout_ms == INFINITE) --timeout_ms;
  return ::WaitForSingleObject(handle_, timeout_ms) == WAIT_OBJECT_0;
}

void Event::Wait() { ::WaitForSingleObject(handle_, INFINITE); }

}  // namespace vexa::port
