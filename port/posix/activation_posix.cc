#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "port/activation.h"

namespace vexa::port {
namespace {

constexpr int kFirstPassedSocket = 3;  // as the service manager passes them

bool ReadNumber(const char* name, long* value) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  *value = std::strtol(text, &end, 10);
  return *end == '\0';
}

}  // namespace

int TakeActivationSocket() {
  long pid = 0, fds = 0;
  const bool ours = ReadNumber("LISTEN_PID", &pid) && pid == static_cast<long>(::getpid()) &&
                    ReadNumber("LISTEN_FDS", &fds) && fds >= 1;
  ::unsetenv("LISTEN_PID");
  ::unsetenv("LISTEN_FDS");
  ::unsetenv("LISTEN_FDNAMES");
  if (!ours) return -1;
  ::fcntl(kFirstPassedSocket, F_SETFD, FD_CLOEXEC);
  return kFirstPassedSocket;
}

}  // namespace vexa::port
