#include "port/activation.h"

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "gtest/gtest.h"

namespace vexa::port {
namespace {

TEST(ActivationTest, OnlyASocketPassedToThisVeryProcessIsTaken) {
  const std::string self = std::to_string(::getpid());
  struct Case {
    const char* pid;
    const char* fds;
    int socket;
  } cases[] = {
      {self.c_str(), "1", 3},  {self.c_str(), "2", 3}, {"1", "1", -1}, {self.c_str(), "0", -1},
      {self.c_str(), "x", -1}, {nullptr, "1", -1},     {"", "1", -1},
  };
  for (const Case& c : cases) {
    if (c.pid != nullptr) ::setenv("LISTEN_PID", c.pid, 1);
    ::setenv("LISTEN_FDS", c.fds, 1);
    EXPECT_EQ(c.socket, TakeActivationSocket()) << (c.pid ? c.pid : "(none)") << " " << c.fds;
    // Programs we start never take it for theirs.
    EXPECT_EQ(nullptr, std::getenv("LISTEN_PID"));
    EXPECT_EQ(nullptr, std::getenv("LISTEN_FDS"));
  }
}

}  // namespace
}  // namespace vexa::port
