#ifndef VEXA_SERVER_TESTING_SERVER_PROCESS_H_
#define VEXA_SERVER_TESTING_SERVER_PROCESS_H_

#include <string>
#include <vector>

namespace vexa::server {

// The admin token every ServerProcess is started with.
inline constexpr char kTestAdminToken[] = "test-admin-token";

// Test support: one vexa-server process on a free loopback port with its own
// data folder, for the server's own tests and for client tests that need the
// real service. The binary is found below $VEXA_BINARY_DIR (set by ctest), or
// else below the build folder it was built in.
// Killed with SIGKILL by the destructor.
class ServerProcess {
 public:
  explicit ServerProcess(std::string data_dir) : data_dir_(std::move(data_dir)) {}
  ~ServerProcess() { Stop(9); }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Starts the server with the accounts "alice:alice-pw" and
  // "bob:bob-pw:3000000", the test admin token and `extra` arguments; true once
  // it announced its port.
  bool Start(std::vector<std::string> extra = {});
  // Starts another program of the build (`program` relative to the build
  // folder) that announces its loopback port the same way, with `args`.
  bool StartProgram(const std::string& program, std::vector<std::string> args);
  // Sends `sig` and returns the exit status (-1 when killed by a signal, -2
  // when nothing runs).
  int Stop(int sig);

  // Where the next start sends the program's standard error (the request
  // log); inherited when empty.
  void set_stderr_file(std::string path) { stderr_file_ = std::move(path); }

  int port() const { return port_; }
  // The running program's process id; 0 when nothing runs.
  int pid() const { return pid_; }
  // "http://127.0.0.1:PORT", or https:// when started with --tls-cert.
  std::string base() const { return scheme_ + "://127.0.0.1:" + std::to_string(port_); }

 private:
  std::string data_dir_;
  std::string stderr_file_;
  int pid_ = 0;
  int port_ = 0;
  std::string scheme_ = "http";
};

}  // namespace vexa::server

#endif  // VEXA_SERVER_TESTING_SERVER_PROCESS_H_
