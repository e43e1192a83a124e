#ifndef VEXA_PORT_TESTING_OTHER_USER_H_
#define VEXA_PORT_TESTING_OTHER_USER_H_

// Test support: running part of a test as another local user, to show that a
// server refuses what another user's process sends it. POSIX only.

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <functional>

namespace vexa {

// The conventional unprivileged "nobody" user and group.
inline constexpr uint32_t kNobodyId = 65534;

// Runs `body` in a child process that has switched to user and group `id`
// and returns the child's exit status (body's result). -1 when this process
// cannot switch users (it does not run as root): the caller skips.
inline int RunAsUser(uint32_t id, const std::function<int()>& body) {
  if (::geteuid() != 0) return -1;
  const pid_t child = ::fork();
  if (child < 0) return -1;
  if (child == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(id) != 0 || ::setuid(id) != 0) ::_exit(125);
    ::_exit(body());
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace vexa

#endif  // VEXA_PORT_TESTING_OTHER_USER_H_
