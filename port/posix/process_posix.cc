#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "port/process.h"
#include "port/thread.h"

extern char** environ;

namespace vexa::port {
namespace {

// Starts argv with standard input and error on /dev/null and standard output
// on `out` (or /dev/null when -1). Returns the child's id, or -1.
pid_t Spawn(const std::vector<std::string>& argv, int out) {
  if (argv.empty()) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (out >= 0) {
    posix_spawn_file_actions_adddup2(&actions, out, 1);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  }
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  // Nothing else is handed on: a chooser or a browser we start must not keep
  // a server's listening socket or its pages' connections, whatever flags
  // the library that opened them chose.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return spawned == 0 ? pid : -1;
}

int Reap(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

int RunProgram(const std::vector<std::string>& argv, std::string* output) {
  int out[2];
  // Close-on-exec, so a program started meanwhile by another thread does not
  // keep our pipe open and hold up the read below.
  if (pipe2(out, O_CLOEXEC) != 0) return -1;
  const pid_t pid = Spawn(argv, out[1]);
  close(out[1]);
  if (pid < 0) {
    close(out[0]);
    return -1;
  }
  char buf[4096];
  for (;;) {
    const ssize_t n = read(out[0], buf, sizeof(buf));
    if (n > 0) {
      if (output) output->append(buf, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  close(out[0]);
  return Reap(pid);
}

bool StartProgram(const std::vector<std::string>& argv) {
  const pid_t pid = Spawn(argv, -1);
  if (pid < 0) return false;
  // Reaped on a thread of its own; the program may run for as long as it likes.
  if (!StartDetachedThread([pid] { Reap(pid); })) Reap(pid);
  return true;
}

uint32_t CurrentProcessId() { return static_cast<uint32_t>(::getpid()); }

}  // namespace vexa::port
