#include "port/file_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace vexa::port {

FileLock::Result FileLock::TryLock(const std::string& path) {
  Unlock();
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return Result::kFailed;
  // flock, not fcntl locks: those belong to the process, so a second lock of
  // the same process would succeed, and closing any descriptor of the file
  // would drop them.
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    const bool busy = errno == EWOULDBLOCK;
    ::close(fd);
    return busy ? Result::kBusy : Result::kFailed;
  }
  handle_ = fd;
  return Result::kLocked;
}

void FileLock::Unlock() {
  if (handle_ == kNone) return;
  ::close(static_cast<int>(handle_));  // releases the lock
  handle_ = kNone;
}

}  // namespace vexa::port
