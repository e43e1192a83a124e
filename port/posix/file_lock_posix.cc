#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "port/file_lock.h"
#include "port/last_error.h"
#include "port/process.h"

namespace vexa::port {

bool FileLock::TryLock(const std::string& path, uint32_t* holder) {
  *holder = 0;
  Unlock();
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    SetLastErrorFromErrno();
    return false;
  }
  // flock rather than fcntl locks: those belong to the process, so a second
  // lock taken in the same process would succeed and closing any descriptor
  // of the file would drop them.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) {
      char text[16] = {};
      if (::pread(fd, text, sizeof(text) - 1, 0) > 0) *holder = static_cast<uint32_t>(std::strtoul(text, nullptr, 10));
    } else {
      SetLastErrorFromErrno();
    }
    ::close(fd);
    return false;
  }
  const std::string pid = std::to_string(CurrentProcessId()) + "\n";
  if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
    // The lock holds all the same; only the holder's id is missing.
  }
  handle_ = fd;
  return true;
}

void FileLock::Unlock() {
  if (handle_ < 0) return;
  ::close(static_cast<int>(handle_));
  handle_ = -1;
}

}  // namespace vexa::port
