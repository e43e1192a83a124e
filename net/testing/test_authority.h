#ifndef VEXA_NET_TESTING_TEST_AUTHORITY_H_
#define VEXA_NET_TESTING_TEST_AUTHORITY_H_

#include <string>

namespace vexa {

// A certificate authority made for one test run with the `openssl` command,
// in a temporary folder removed by the destructor. Each server certificate
// has its key beside it (NAME.pem, NAME.key).
class TestAuthority {
 public:
  // `extra_ip` (an IPv4 or IPv6 address), when given, is named by the "good"
  // and "expired" certificates as well: a service on another address, such
  // as one inside a network namespace of a benchmark.
  explicit TestAuthority(const std::string& extra_ip = "");
  ~TestAuthority();
  TestAuthority(const TestAuthority&) = delete;
  TestAuthority& operator=(const TestAuthority&) = delete;

  // False (with the failing command in error()) when a file could not be made.
  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }

  // The authority's own certificate: what VEXAUPLOAD_CA_FILE names.
  std::string ca_file() const { return dir_ + "/ca.pem"; }
  // Issued by the authority for 127.0.0.1 and localhost.
  std::string cert(const std::string& name) const { return dir_ + "/" + name + ".pem"; }
  std::string key(const std::string& name) const { return dir_ + "/" + name + ".key"; }
  // Names of the certificates made: "good" (127.0.0.1, localhost, valid),
  // "other" (other.example only), "expired" (127.0.0.1, ended in 2020),
  // "selfsigned" (127.0.0.1, issued by itself).
  static constexpr const char* kGood = "good";
  static constexpr const char* kOtherName = "other";
  static constexpr const char* kExpired = "expired";
  static constexpr const char* kSelfSigned = "selfsigned";

 private:
  bool Run(const std::string& command);

  std::string dir_;
  std::string error_;
};

}  // namespace vexa

#endif  // VEXA_NET_TESTING_TEST_AUTHORITY_H_
