#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>

#include "port/file_lock.h"
#include "port/process.h"

namespace vexa::port {

FileLock::Result FileLock::TryLock(const std::string& path, uint32_t* holder) {
  Unlock();
  if (holder != nullptr) *holder = 0;
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
    char text[16] = {};
    if (busy && holder != nullptr && ::pread(fd, text, sizeof(text) - 1, 0) > 0) {
      *holder = static_cast<uint32_t>(std::strtoul(text, nullptr, 10));
    }
    ::close(fd);
    return busy ? Result::kBusy : Result::kFailed;
  }
  // Only for telling the user who holds it: the lock holds without it.
  const std::string id = std::to_string(CurrentProcessId()) + "\n";
  if (::ftruncate(fd, 0) == 0) (void)!::pwrite(fd, id.data(), id.size(), 0);
  handle_ = fd;
  return Result::kLocked;
}

void FileLock::Unlock() {
  if (handle_ == kNone) return;
  ::close(static_cast<int>(handle_));  // releases the lock
  handle_ = kNone;
}

}  // namespace vexa::port
