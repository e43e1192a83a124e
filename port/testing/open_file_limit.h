#ifndef VEXA_PORT_TESTING_OPEN_FILE_LIMIT_H_
#define VEXA_PORT_TESTING_OPEN_FILE_LIMIT_H_

// Test support: lowering this process's limit of open descriptors for a
// while, to see what a server does when it runs out. POSIX only.

#include <sys/resource.h>

#include <filesystem>

namespace vexa {

class OpenFileLimit {
 public:
  explicit OpenFileLimit(rlim_t limit) {
    getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit lowered = saved_;
    lowered.rlim_cur = limit;
    setrlimit(RLIMIT_NOFILE, &lowered);
  }
  ~OpenFileLimit() { setrlimit(RLIMIT_NOFILE, &saved_); }
  OpenFileLimit(const OpenFileLimit&) = delete;
  OpenFileLimit& operator=(const OpenFileLimit&) = delete;

  // The descriptors this process holds now.
  static rlim_t InUse() {
    rlim_t n = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd");
         it != std::filesystem::directory_iterator(); ++it) {
      ++n;
    }
    return n;
  }

 private:
  rlimit saved_{};
};

}  // namespace vexa

#endif  // VEXA_PORT_TESTING_OPEN_FILE_LIMIT_H_
