#include "control/origin_registry.h"

#include "control/testing/fake_registry.h"
#include "gtest/gtest.h"

namespace vexa {
namespace {

TEST(OriginRegistryTest, ReadsTheOriginWordsOfADllInstallCommandLine) {
  const struct {
    const char* line;
    OriginCommandResult result;
    bool per_user;
    std::vector<std::string> origins;
  } cases[] = {
      {"user", OriginCommandResult::kNotOrigins, false, {}},
      {"", OriginCommandResult::kNotOrigins, false, {}},
      {"origin=https://Good.Example:443/",
       OriginCommandResult::kOk,
       false,
       {"https://good.example"}},
      {"USER  Origin=https://a.example origin=http://127.0.0.1:8080 origin=https://a.example",
       OriginCommandResult::kOk,
       true,
       {"https://a.example", "http://127.0.0.1:8080"}},
      {"users origin=https://a.example", OriginCommandResult::kInvalid, false, {}},
      {"origin=http://evil.example", OriginCommandResult::kInvalid, false, {}},
      {"origin=http://evil.example force",
       OriginCommandResult::kOk,
       false,
       {"http://evil.example"}},
      {"origin=https://a.example/page.html", OriginCommandResult::kInvalid, false, {}},
      {"origin=", OriginCommandResult::kInvalid, false, {}},
  };
  for (const auto& c : cases) {
    OriginCommand command;
    std::string error;
    EXPECT_EQ(c.result, ParseOriginCommand(c.line, &command, &error)) << c.line;
    EXPECT_EQ(c.result == OriginCommandResult::kInvalid, !error.empty()) << c.line;
    if (c.result != OriginCommandResult::kOk) continue;
    EXPECT_EQ(c.per_user, command.per_user) << c.line;
    EXPECT_EQ(c.origins, command.origins) << c.line;
  }
}

TEST(OriginRegistryTest, AddsAndRemovesOriginsInTheirScopesKey) {
  FakeRegistry reg;
  OriginCommand user{true, {"https://a.example", "http://localhost:8080"}};
  OriginCommand machine{false, {"https://b.example"}};
  ASSERT_TRUE(ApplyOriginCommand(user, true, &reg));
  ASSERT_TRUE(ApplyOriginCommand(machine, true, &reg));
  const std::string user_key = "HKCU\\Software\\vexaupload\\control\\Origins";
  const std::string machine_key = "HKLM\\Software\\vexaupload\\control\\Origins";
  ASSERT_NE(nullptr, reg.Value(user_key, "https://a.example"));
  EXPECT_EQ("https://a.example", *reg.Value(user_key, "https://a.example"));
  EXPECT_NE(nullptr, reg.Value(user_key, "http://localhost:8080"));
  EXPECT_EQ(nullptr, reg.Value(user_key, "https://b.example"));
  EXPECT_NE(nullptr, reg.Value(machine_key, "https://b.example"));

  ASSERT_TRUE(ApplyOriginCommand(OriginCommand{true, {"https://a.example"}}, false, &reg));
  EXPECT_EQ(nullptr, reg.Value(user_key, "https://a.example"));
  EXPECT_NE(nullptr, reg.Value(user_key, "http://localhost:8080"));
  EXPECT_NE(nullptr, reg.Value(machine_key, "https://b.example"));

  FakeRegistry failing;
  failing.FailAfter(1);  // the key, then no value
  EXPECT_FALSE(ApplyOriginCommand(user, true, &failing));
}

}  // namespace
}  // namespace vexa
