#include "server/options.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

namespace vexa::server {
namespace {

std::vector<std::string> Base() {
  return {"--listen", "127.0.0.1:0", "--data", "/tmp/x", "--admin-token", "tok-12345"};
}

TEST(OptionsTest, ReadsTheDocumentedCommandLine) {
  auto args = Base();
  for (const char* a : {"--user",
                        "alice:pw",
                        "--user",
                        "bob:p:w:1000",
                        "--user",
                        "carl:p:x",
                        "--time-limit",
                        "1.5",
                        "--size-limit",
                        "5000",
                        "--file-range",
                        "0=0-100",
                        "--file-range",
                        "2=100-",
                        "--type-limit",
                        "mp4,iso",
                        "--faults",
                        "space:fail",
                        "--keep-alive",
                        "0",
                        "--keep-alive-requests",
                        "7"}) {
    args.push_back(a);
  }
  Options o;
  std::string error;
  ASSERT_TRUE(ParseOptions(args, &o, &error)) << error;
  EXPECT_EQ("127.0.0.1", o.host);
  EXPECT_EQ(0, o.port);
  ASSERT_EQ(3u, o.users.size());
  EXPECT_EQ("pw", o.users[0].password);
  EXPECT_EQ(0u, o.users[0].quota);
  // A password may hold ':'; a final field of digits is the quota.
  EXPECT_EQ("p:w", o.users[1].password);
  EXPECT_EQ(1000u, o.users[1].quota);
  EXPECT_EQ("p:x", o.users[2].password);
  EXPECT_DOUBLE_EQ(1.5, o.time_limit);
  EXPECT_EQ(5000u, o.size_limit);
  // Given ranges replace the defaults entirely.
  ASSERT_EQ(2u, o.size_classes.size());
  EXPECT_EQ("0-100", o.size_classes[0]);
  EXPECT_EQ("100-", o.size_classes[2]);
  EXPECT_EQ((std::vector<std::string>{"mp4", "iso"}), o.type_limit);
  EXPECT_EQ("space:fail", o.faults);
  EXPECT_EQ(0, o.keep_alive);
  EXPECT_EQ(7, o.keep_alive_requests);
}

TEST(OptionsTest, RefusesMissingOrMalformedValues) {
  unsetenv("VEXA_ADMIN_TOKEN");
  const std::vector<std::vector<std::string>> bad = {
      {"--data", "/d", "--admin-token", "tok-12345"},
      {"--listen", "127.0.0.1:0", "--admin-token", "tok-12345"},
      {"--listen", "127.0.0.1:0", "--data", "/d"},
      {"--listen", "nohost", "--data", "/d", "--admin-token", "tok-12345"},
      {"--listen", "h:70000", "--data", "/d", "--admin-token", "tok-12345"},
  };
  Options o;
  std::string error;
  for (const auto& args : bad) EXPECT_FALSE(ParseOptions(args, &o, &error));
  for (std::vector<std::string> extra : {std::vector<std::string>{"--user", "nopassword"},
                                         {"--user", "alice:"},
                                         {"--file-range", "3=0-1"},
                                         {"--file-range", "0=5-1"},
                                         {"--size-limit", "0"},
                                         {"--time-limit", "-1"},
                                         {"--bogus", "1"},
                                         {"--user"},
                                         {"--admin-token", ""},
                                         {"--user", "forty:" + std::string(40, 'a')},
                                         {"--keep-alive", "601"},
                                         {"--keep-alive", "-1"},
                                         {"--keep-alive-requests", "0"},
                                         {"--public-url", "ftp://h:1"}}) {
    auto args = Base();
    args.insert(args.end(), extra.begin(), extra.end());
    error.clear();
    EXPECT_FALSE(ParseOptions(args, &o, &error)) << extra[0];
    EXPECT_FALSE(error.empty());
  }
  // A certificate without its key (or the reverse) cannot serve HTTPS.
  for (const char* half : {"--tls-cert", "--tls-key"}) {
    auto args = Base();
    args.insert(args.end(), {half, "file.pem"});
    Options fresh;
    error.clear();
    EXPECT_FALSE(ParseOptions(args, &fresh, &error)) << half;
    EXPECT_EQ("--tls-cert and --tls-key go together", error);
  }
  Options help;
  ASSERT_TRUE(ParseOptions({"--help"}, &help, &error));
  EXPECT_TRUE(help.help);
  EXPECT_NE(std::string::npos, UsageText().find("--listen HOST:PORT"));
}

class UsersFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/vexa-users-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    dir_ = tmpl;
  }
  void TearDown() override {
    unlink(path().c_str());
    rmdir(dir_.c_str());
  }
  std::string path() const { return dir_ + "/users"; }
  void Write(const std::string& text, mode_t mode) {
    std::ofstream(path(), std::ios::binary | std::ios::trunc) << text;
    ASSERT_EQ(0, chmod(path().c_str(), mode));
  }
  bool Parse(Options* o, std::string* error) {
    auto args = Base();
    args.insert(args.end(), {"--users-file", path()});
    return ParseOptions(args, o, error);
  }

  std::string dir_;
};

TEST_F(UsersFileTest, ReadsAccountsOnlyFromAFileNoOneElseCanRead) {
  Write("# team accounts\r\nalice:pw with spaces\r\n\nbob:p:w:1000\n", 0600);
  Options o;
  std::string error;
  ASSERT_TRUE(Parse(&o, &error)) << error;
  ASSERT_EQ(2u, o.users.size());
  EXPECT_EQ("alice", o.users[0].account);
  EXPECT_EQ("pw with spaces", o.users[0].password);
  EXPECT_EQ("p:w", o.users[1].password);
  EXPECT_EQ(1000u, o.users[1].quota);

  for (mode_t mode : {0644, 0640, 0606, 0620}) {
    Write("alice:pw\n", mode);
    Options refused;
    EXPECT_FALSE(Parse(&refused, &error)) << std::oct << mode;
    EXPECT_NE(std::string::npos, error.find("chmod 600")) << error;
  }
  unlink(path().c_str());
  EXPECT_FALSE(Parse(&o, &error));
  EXPECT_NE(std::string::npos, error.find(path())) << error;
}

TEST_F(UsersFileTest, ABadLineIsNamedByNumberWithoutShowingIt) {
  for (const std::string& line : std::vector<std::string>{
           "nocolon-secret", ":secret", "carl:", "dan:secret:99999999999999999999999",
           "eve:" + std::string(40, 'f')}) {
    Write("alice:pw\n\n" + line + "\n", 0600);
    Options o;
    std::string error;
    EXPECT_FALSE(Parse(&o, &error)) << line;
    EXPECT_NE(std::string::npos, error.find("line 3")) << error;
    EXPECT_EQ(std::string::npos, error.find("secret")) << error;
  }
}

TEST(OptionsTest, TheAdminTokenComesFromTheEnvironmentUnlessGiven) {
  const std::vector<std::string> no_token = {"--listen", "127.0.0.1:0", "--data", "/d"};
  Options o;
  std::string error;
  unsetenv("VEXA_ADMIN_TOKEN");
  EXPECT_FALSE(ParseOptions(no_token, &o, &error));
  EXPECT_NE(std::string::npos, error.find("VEXA_ADMIN_TOKEN")) << error;
  setenv("VEXA_ADMIN_TOKEN", "", 1);
  EXPECT_FALSE(ParseOptions(no_token, &o, &error));
  setenv("VEXA_ADMIN_TOKEN", "from-env", 1);
  ASSERT_TRUE(ParseOptions(no_token, &o, &error)) << error;
  EXPECT_EQ("from-env", o.admin_token);
  Options flagged;
  ASSERT_TRUE(ParseOptions(Base(), &flagged, &error));
  EXPECT_EQ("tok-12345", flagged.admin_token);
  unsetenv("VEXA_ADMIN_TOKEN");
}

TEST(OptionsTest, ListeningOnEveryInterfaceOrIpv6NeedsAPublicUrl) {
  for (const char* listen : {"0.0.0.0:8080", "[::]:8080", "[::1]:8080", "[2001:db8::1]:80"}) {
    std::vector<std::string> args = {"--listen", listen, "--data", "/d", "--admin-token", "t"};
    Options o;
    std::string error;
    EXPECT_FALSE(ParseOptions(args, &o, &error)) << listen;
    EXPECT_NE(std::string::npos, error.find("--public-url")) << error;
    args.insert(args.end(), {"--public-url", "http://files.example.org"});
    EXPECT_TRUE(ParseOptions(args, &o, &error)) << listen << ": " << error;
  }
  Options o;
  std::string error;
  EXPECT_TRUE(
      ParseOptions({"--listen", "localhost:80", "--data", "/d", "--admin-token", "t"}, &o, &error))
      << error;
}

}  // namespace
}  // namespace vexa::server
