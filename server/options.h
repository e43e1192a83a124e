#ifndef VEXA_SERVER_OPTIONS_H_
#define VEXA_SERVER_OPTIONS_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace vexa::server {

struct UserSpec {
  std::string account;
  std::string password;
  uint64_t quota = 0;  // 0: the default quota
};

// The size classes handed to clients ("file_range"): class -> "LOW-HIGH".
using SizeClasses = std::map<int, std::string>;

struct Options {
  std::string host = "127.0.0.1";
  int port = 0;
  std::string data_dir;
  std::vector<UserSpec> users;
  std::string admin_token;
  double time_limit = 0;
  uint64_t size_limit = uint64_t{16} << 30;
  uint64_t default_quota = uint64_t{64} << 30;
  SizeClasses size_classes = {{0, "0-1048576"}, {1, "1048576-67108864"}, {2, "67108864-0"}};
  std::vector<std::string> type_limit;
  std::string faults;
  // Base of every address handed out; "http://HOST:PORT" when empty
  // ("https://HOST:PORT" with TLS).
  std::string public_url;
  // With both set, the service speaks HTTPS: PEM certificate chain and key.
  std::string tls_cert;
  std::string tls_key;
  // How long an upload key stays valid after its dispatch, in seconds.
  int64_t key_lifetime = 24 * 3600;
  // An upload left without a request this long is dropped with its data.
  int64_t session_lifetime = 30 * 24 * 3600;
  // Open upload sessions a user may have; a new upload beyond is refused.
  uint64_t max_sessions = 1000;
  // Threads serving connections; as many more connections may wait for one.
  int workers = 64;
  // Seconds a request may send nothing before its connection is dropped.
  int read_timeout = 8;
  // Seconds a kept-alive connection may wait for its next request (0: one
  // request per connection), and the requests one connection may carry.
  int keep_alive = 5;
  int keep_alive_requests = 1000;
  bool help = false;
};

// Reads the command line (argv[0] excluded). False with *error set when an
// option is unknown, malformed or a required one is missing.
bool ParseOptions(const std::vector<std::string>& args, Options* options, std::string* error);

std::string UsageText();

}  // namespace vexa::server

#endif  // VEXA_SERVER_OPTIONS_H_
