// Login and quota against the real service.
#include <filesystem>
#include <string>
#include <thread>

#include "account/account_api.h"
#include "account/account_file.h"
#include "account/login.h"
#include "account/session.h"
#include "account/space.h"
#include "account/test_data_dir.h"
#include "account/test_login_observer.h"
#include "gtest/gtest.h"
#include "net/http_client.h"
#include "port/clock.h"
#include "port/testing/fake_clock_env.h"
#include "port/tls.h"
#include "server/testing/server_process.h"

namespace vexa {
namespace {

class LoginServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ProcessHttpClient().useSystemProxy = false;
    LogoutAccount();
    std::filesystem::create_directories(dir_.File("server"));
    ASSERT_TRUE(server_.Start({"--user", "tom&jerry:tj-pw"}));
    SetAccountApiBase(server_.base());
  }
  void TearDown() override {
    LogoutAccount();
    SetAccountApiBase("");
  }
  // Runs one login to its end.
  void LogIn(const std::string& account, const std::string& password) {
    const int before = observer_.logins();
    ASSERT_TRUE(StartLogin(account, password, true, false));
    ASSERT_TRUE(observer_.WaitForLogins(before + 1));
  }

  TestDataDir dir_;
  server::ServerProcess server_{dir_.File("server")};
  TestLoginObserver observer_;
};

TEST_F(LoginServerTest, LogsInAndRefreshesTheQuota) {
  LogIn("bob", "bob-pw");
  ASSERT_TRUE(IsLoggedIn()) << GetLastErrorText();
  EXPECT_NE(std::this_thread::get_id(), observer_.login_thread());
  EXPECT_EQ("bob", GetUserName());
  EXPECT_EQ(0u, GetUploadUrl().rfind(server_.base(), 0)) << GetUploadUrl();
  EXPECT_FALSE(GetUserKey().empty());
  EXPECT_EQ(3000000u, CopyAccountState().spaceTotal);

  std::string account, digest;
  bool remember, auto_login;
  ASSERT_TRUE(ReadRememberedAccount(&account, &digest, &remember, &auto_login));
  EXPECT_EQ("bob", account);

  // Forget the quota the login brought, so only the refresh can restore it.
  UpdateAccountState([](AccountState* s) {
    s->spaceTotal = s->spaceRemain = 0;
    s->sizeTotal = s->spaceSummary = "";
  });
  ASSERT_TRUE(RefreshSpaceInfo());
  const AccountState s = CopyAccountState();
  EXPECT_EQ(3000000u, s.spaceTotal);
  EXPECT_EQ(3000000u, s.spaceRemain);
  EXPECT_FALSE(s.sizeTotal.empty());
  EXPECT_EQ(s.sizeUsed + "|" + s.sizeTotal + "|" + s.sizeUsedPercent, GetSpaceSummary());

  LogoutAccount();
  EXPECT_FALSE(RefreshSpaceInfo());
}

TEST_F(LoginServerTest, WrongPasswordAndStaleClockAreRefused) {
  LogIn("alice", "not-alices-pw");
  EXPECT_FALSE(IsLoggedIn());
  EXPECT_NE(std::string::npos, GetLastErrorText().find("password")) << GetLastErrorText();

  {
    port::FakeClockEnv clock;
    clock.SetUnixTimeSeconds(port::UnixTimeSeconds() - 3600);
    port::ScopedCurrentEnv env(&clock);
    LogIn("alice", "alice-pw");
    EXPECT_FALSE(IsLoggedIn());
    EXPECT_NE(std::string::npos, GetLastErrorText().find("clock")) << GetLastErrorText();
  }
  LogIn("alice", "alice-pw");
  EXPECT_TRUE(IsLoggedIn()) << GetLastErrorText();
}

// Asked for encryption it cannot give, the client refuses instead of sending
// the login (and later the files) in the clear to the same port. Where TLS is
// available, the plain server fails the handshake: a refusal with its reason,
// not a network failure, and no answer.
TEST_F(LoginServerTest, AnHttpsAddressIsRefusedNotSpokenInTheClear) {
  const std::string plain = server_.base();
  for (const std::string& base : {"https://" + plain.substr(7), "HTTPS://" + plain.substr(7)}) {
    SetAccountApiBase(base);
    LogIn("bob", "bob-pw");
    EXPECT_FALSE(IsLoggedIn()) << base;
    if (port::TlsAvailable()) {
      EXPECT_NE(std::string::npos, GetLastErrorText().find("TLS handshake with 127.0.0.1 failed"))
          << GetLastErrorText();
    } else {
      EXPECT_EQ(kPlainHttpOnlyText, GetLastErrorText()) << base;
    }
  }
  std::string answer;
  EXPECT_FALSE(ProcessHttpClient().Get("https://" + plain.substr(7) + "/app/user/space", &answer));
  EXPECT_EQ("", answer) << "nothing was exchanged";
  SetAccountApiBase(plain);
  LogIn("bob", "bob-pw");
  EXPECT_TRUE(IsLoggedIn()) << GetLastErrorText();
}

TEST_F(LoginServerTest, AccountWithAmpersandLogsIn) {
  LogIn("tom&jerry", "tj-pw");
  ASSERT_TRUE(IsLoggedIn()) << GetLastErrorText();
  EXPECT_EQ("tom&jerry", GetUserName());
  EXPECT_TRUE(RefreshSpaceInfo());
}

}  // namespace
}  // namespace vexa
