#include "server/options.h"

#include <gtest/gtest.h>

namespace vexa::server {
namespace {

std::vector<std::string> Base() {
  return {"--listen", "127.0.0.1:0", "--data", "/tmp/x", "--admin-token", "tok-12345"};
}

TEST(OptionsTest, ReadsTheDocumentedCommandLine) {
  auto args = Base();
  for (const char* a : {"--user", "alice:pw", "--user", "bob:p:w:1000", "--user", "carl:p:x",
                        "--time-limit", "1.5", "--size-limit", "5000", "--file-range",
                        "0=0-100", "--file-range", "2=100-", "--type-limit", "mp4,iso",
                        "--faults", "space:fail"}) {
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
}

TEST(OptionsTest, RefusesMissingOrMalformedValues) {
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
  for (std::vector<std::string> extra :
       {std::vector<std::string>{"--user", "nopassword"}, {"--user", "alice:"},
        {"--file-range", "3=0-1"}, {"--file-range", "0=5-1"}, {"--size-limit", "0"},
        {"--time-limit", "-1"}, {"--bogus", "1"}, {"--user"}, {"--admin-token", ""}}) {
    auto args = Base();
    args.insert(args.end(), extra.begin(), extra.end());
    error.clear();
    EXPECT_FALSE(ParseOptions(args, &o, &error)) << extra[0];
    EXPECT_FALSE(error.empty());
  }
  Options help;
  ASSERT_TRUE(ParseOptions({"--help"}, &help, &error));
  EXPECT_TRUE(help.help);
  EXPECT_NE(std::string::npos, UsageText().find("--listen HOST:PORT"));
}

}  // namespace
}  // namespace vexa::server
