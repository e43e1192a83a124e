#include "apps/cli/argument_checks.h"

#include <gtest/gtest.h>

namespace vexa::cli {
namespace {

TEST(ArgumentChecksTest, TargetsAreFolderIdsOfSaneLength) {
  for (const char* good : {"0", "42", "1234567890123456789"})
    EXPECT_EQ("", TargetIdProblem(good)) << good;
  for (const char* bad : {"", "abc", "-5", "+5", "1e3", " 42", "42 ", "4 2", "12345678901234567890",
                          "12345678901234567890123456"}) {
    EXPECT_NE("", TargetIdProblem(bad)) << bad;
  }
}

TEST(ArgumentChecksTest, ApiAddressesAreHttpUrlsWithAHost) {
  const struct {
    const char* given;
    const char* kept;  // nullptr: refused
  } cases[] = {
      {"http://127.0.0.1:8080", "http://127.0.0.1:8080"},
      {"http://127.0.0.1:8080/", "http://127.0.0.1:8080"},  // request paths are appended
      {"HTTP://files.example", "HTTP://files.example"},
      {"http://files.example/api", "http://files.example/api"},
      // Shape only: whether https can be spoken is decided at the login.
      {"https://files.example", "https://files.example"},
      {"127.0.0.1:8080", nullptr},
      {"ftp://files.example", nullptr},
      {"http://", nullptr},
      {"http:///app", nullptr},
      {"http://:8080", nullptr},
      {"http://host:0", nullptr},
      {"http://host:65536", nullptr},
      {"http://host:123456", nullptr},
      {"http://host:", nullptr},
      {"http://host:80x", nullptr},
      {"http://user:pw@host", nullptr},
      {"http://host/app?x=1", nullptr},
      {"http://host/#top", nullptr},
      {"http://ho st", nullptr},
      {"http://[::1]:80", nullptr},  // IPv4 only
  };
  for (const auto& c : cases) {
    std::string value = c.given;
    const std::string problem = ApiAddressProblem(&value);
    if (c.kept == nullptr) {
      EXPECT_NE("", problem) << c.given;
    } else {
      EXPECT_EQ("", problem) << c.given;
      EXPECT_EQ(c.kept, value) << c.given;
    }
  }
}

TEST(ArgumentChecksTest, RatesAreBytesPerSecondWithBinarySuffixes) {
  const struct {
    const char* given;
    uint64_t rate;  // 0: refused
  } cases[] = {
      // clang-format off
      {"1024", 1024},       {"512K", 512 * 1024},     {"512k", 512 * 1024}, {"2M", 2 << 20},
      {"1.5M", 3 << 19},    {"1G", uint64_t{1} << 30}, {"1.25k", 1280},      {"1023", 0},
      {"0", 0},             {"", 0},                   {"K", 0},             {"-5K", 0},
      {"2MB", 0},           {"2 M", 0},                {"1.M", 0},           {"1.2345M", 0},
      {"512X", 0},          {"99999999999999999999", 0},
      // clang-format on
  };
  for (const auto& c : cases) {
    uint64_t rate = 0;
    const std::string problem = LimitRateProblem(c.given, &rate);
    EXPECT_EQ(c.rate == 0, !problem.empty()) << c.given << ": " << problem;
    if (c.rate != 0) {
      EXPECT_EQ(c.rate, rate) << c.given;
    }
  }
}

}  // namespace
}  // namespace vexa::cli
