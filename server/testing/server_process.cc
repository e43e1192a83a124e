#include "server/testing/server_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

namespace vexa::server {

bool ServerProcess::Start(std::vector<std::string> extra) {
  std::vector<std::string> args = {
      "--listen", "127.0.0.1:0",        "--data",        data_dir_,      "--user", "alice:alice-pw",
      "--user",   "bob:bob-pw:3000000", "--admin-token", kTestAdminToken};
  args.insert(args.end(), extra.begin(), extra.end());
  return StartProgram("server/vexa-server", std::move(args));
}

bool ServerProcess::StartProgram(const std::string& program, std::vector<std::string> args) {
  const char* bin_dir = std::getenv("VEXA_BINARY_DIR");
  std::string binary = std::string(bin_dir ? bin_dir : VEXA_BUILT_IN) + "/" + program;
  args.insert(args.begin(), binary);
  int fds[2];
  if (pipe(fds) != 0) return false;
  pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return false;
  }
  if (pid == 0) {
    // A test binary that dies (a sanitizer halting it) must not leave its
    // server holding the test runner's output pipe until the time-out. The
    // forking thread is the test's own, which lives as long as the test.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() == 1) _exit(127);
    dup2(fds[1], 1);
    if (!stderr_file_.empty()) {
      const int log = open(stderr_file_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
      if (log >= 0) dup2(log, 2);
    }
    close(fds[0]);
    close(fds[1]);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(binary.c_str(), argv.data());
    _exit(127);
  }
  pid_ = pid;
  close(fds[1]);
  std::string line;
  pollfd p{fds[0], POLLIN, 0};
  while (line.find('\n') == std::string::npos && poll(&p, 1, 10000) > 0) {
    char buf[256];
    ssize_t n = read(fds[0], buf, sizeof(buf));
    if (n <= 0) break;
    line.append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  const std::string prefix = "listening on ";
  const std::string host = "://127.0.0.1:";
  const size_t at = line.find(host);
  if (line.rfind(prefix, 0) != 0 || at == std::string::npos) return false;
  scheme_ = line.substr(prefix.size(), at - prefix.size());
  port_ = std::atoi(line.c_str() + at + host.size());
  return port_ > 0;
}

int ServerProcess::Stop(int sig) {
  if (pid_ <= 0) return -2;
  kill(pid_, sig);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = 0;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace vexa::server
