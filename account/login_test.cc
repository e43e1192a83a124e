#include "account/login.h"

#include <atomic>
#include <string>
#include <thread>

#include "account/account_api.h"
#include "account/account_file.h"
#include "account/session.h"
#include "account/test_data_dir.h"
#include "account/test_login_observer.h"
#include "gtest/gtest.h"
#include "net/http_client.h"
#include "net/testing/scripted_peer.h"
#include "port/clock.h"
#include "port/testing/fake_clock_env.h"

namespace vexa {
namespace {

using Connection = ScriptedPeer::Connection;

// Reads one whole request (head and Content-Length body) from `c`.
bool ReadRequest(Connection& c) {
  if (!c.ReadUntil("\r\n\r\n")) return false;
  const std::string& r = c.received();
  const size_t head_end = r.find("\r\n\r\n") + 4;
  const size_t at = r.find("Content-Length: ");
  const size_t length = at < head_end ? std::stoul(r.substr(at + 16)) : 0;
  return c.ReadAtLeast(head_end + length);
}

std::string Http200(const std::string& body) {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

ScriptedPeer::Script Answer(std::string body) {
  return [answer = Http200(body)](Connection& c) {
    if (ReadRequest(c)) c.Write(answer);
    c.WaitForClientClose(10000);
  };
}

// The body of a POST the peer received.
std::string BodyOf(const std::string& request) {
  const size_t at = request.find("\r\n\r\n");
  return at == std::string::npos ? std::string() : request.substr(at + 4);
}

const char kWelcome[] = R"({"state": true, "error": "", "user_id": "7", "user_name": "tom",
                            "resource": "r1", "userkey": "K7"})";

class LoginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ProcessHttpClient().useSystemProxy = false;
    LogoutAccount();
  }
  void TearDown() override {
    LogoutAccount();
    SetAccountApiBase("");
  }
  void UsePeer(const ScriptedPeer& peer) {
    ASSERT_NE(0, peer.port());
    // The trailing "/" must not double the path's.
    SetAccountApiBase("http://127.0.0.1:" + std::to_string(peer.port()) + "/");
  }

  TestDataDir dir_;
  // The time the logins sign.
  port::FakeClockEnv clock_;
  port::ScopedCurrentEnv env_{&clock_};
  TestLoginObserver observer_;
};

TEST_F(LoginTest, PostsTheSignedFormWithEscapedValuesAndRemembersTheAccount) {
  ScriptedPeer peer(Answer(kWelcome));
  UsePeer(peer);
  clock_.SetUnixTimeSeconds(1700000000);
  const std::string account = "tom&jerry+1 =50%\xc3\xa9";
  ASSERT_TRUE(StartLogin(account, "pw-secret", true, true));
  ASSERT_TRUE(observer_.WaitForLogins(1));
  EXPECT_NE(std::this_thread::get_id(), observer_.login_thread());

  // Expected values from sha1sum and md5sum:
  //   digest = sha1("pw-secret") = 18b0420518e0e173a30340895c8effd1848961f3
  //   sign = md5(account + digest + "1700000000" + salt), the raw account.
  const std::string request = peer.received();
  EXPECT_EQ(0u, request.rfind("POST /app/clogin HTTP/1.1\r\n", 0)) << request;
  EXPECT_NE(std::string::npos,
            request.find("\r\nContent-Type: application/x-www-form-urlencoded\r\n"));
  EXPECT_EQ(
      "account=tom%26jerry%2B1%20%3D50%25%C3%A9&_time=1700000000&version=win_1.0.1026.4"
      "&sign=92098d8916bc5f65b4328b45a8949604",
      BodyOf(request));
  EXPECT_TRUE(IsLoggedIn());
  EXPECT_EQ("7", GetUserId());
  EXPECT_EQ("K7", GetUserKey());

  std::string remembered, digest;
  bool remember = false, auto_login = false;
  ASSERT_TRUE(ReadRememberedAccount(&remembered, &digest, &remember, &auto_login));
  EXPECT_EQ(account, remembered);
  EXPECT_EQ("18b0420518e0e173a30340895c8effd1848961f3", digest);
  EXPECT_TRUE(remember);
  EXPECT_TRUE(auto_login);
}

TEST_F(LoginTest, FortyCharacterPasswordIsSentAsTheDigestLowercased) {
  ScriptedPeer peer(Answer(kWelcome));
  UsePeer(peer);
  clock_.SetUnixTimeSeconds(1700000001);
  ASSERT_TRUE(StartLogin("alice", "0123456789ABCDEF0123456789ABCDEF01234567", false, false));
  ASSERT_TRUE(observer_.WaitForLogins(1));
  // md5("alice" + "0123456789abcdef0123456789abcdef01234567" + "1700000001" + salt)
  EXPECT_EQ(
      "account=alice&_time=1700000001&version=win_1.0.1026.4&sign=ab4c15ab64a810fa38e1c5857df8510c",
      BodyOf(peer.received()));
  std::string remembered, digest;
  bool remember = true, auto_login = true;
  ASSERT_TRUE(ReadRememberedAccount(&remembered, &digest, &remember, &auto_login));
  EXPECT_EQ("", digest) << "kept only when asked to remember";
  EXPECT_FALSE(remember);
}

TEST_F(LoginTest, FailedAttemptsEndWithOnLoginAndTheirText) {
  // No account API configured: a clear text, no crash.
  ASSERT_TRUE(StartLogin("alice", "alice-pw", true, false));
  ASSERT_TRUE(observer_.WaitForLogins(1));
  EXPECT_FALSE(IsLoggedIn());
  EXPECT_EQ(kNoAccountApiText, GetLastErrorText());

  // The peer hangs up without an answer: the network text.
  {
    ScriptedPeer peer([](Connection& c) { ReadRequest(c); });
    UsePeer(peer);
    ASSERT_TRUE(StartLogin("alice", "alice-pw", true, false));
    ASSERT_TRUE(observer_.WaitForLogins(2));
    EXPECT_FALSE(IsLoggedIn());
    EXPECT_EQ(
        "\xe8\xaf\xb7\xe6\xa3\x80\xe6\x9f\xa5\xe4\xbd\xa0\xe7\x9a\x84\xe7\xbd\x91\xe7\xbb\x9c"
        "\xe8\xbf\x9e\xe6\x8e\xa5",  // 请检查你的网络连接
        GetLastErrorText());
  }
  // An answer that is not JSON leaves the session as it was.
  {
    ScriptedPeer peer(Answer("<html>busy</html>"));
    UsePeer(peer);
    UpdateAccountState([](AccountState* s) { s->lastError = "before"; });
    ASSERT_TRUE(StartLogin("alice", "alice-pw", true, false));
    ASSERT_TRUE(observer_.WaitForLogins(3));
    EXPECT_EQ(1, peer.connections());
    EXPECT_FALSE(IsLoggedIn());
    EXPECT_EQ("before", GetLastErrorText());
  }
  // An empty password sends nothing.
  {
    ScriptedPeer peer(Answer(kWelcome));
    UsePeer(peer);
    ASSERT_TRUE(StartLogin("alice", "", true, false));
    ASSERT_TRUE(observer_.WaitForLogins(4));
    EXPECT_EQ(0, peer.connections());
    EXPECT_FALSE(IsLoggedIn());
  }
  std::string account, digest;
  bool remember, auto_login;
  EXPECT_FALSE(ReadRememberedAccount(&account, &digest, &remember, &auto_login));
}

TEST_F(LoginTest, OneLoginAtATimeAndNoneWhileLoggedIn) {
  std::atomic<bool> release{false};
  ScriptedPeer peer([&release](Connection& c) {
    if (!ReadRequest(c)) return;
    for (int i = 0; i < 3000 && !release.load(); ++i) port::SleepMs(10);
    c.Write(Http200(kWelcome));
    c.WaitForClientClose(10000);
  });
  UsePeer(peer);
  ASSERT_TRUE(StartLogin("alice", "alice-pw", false, false));
  EXPECT_FALSE(StartLogin("bob", "bob-pw", false, false));
  release.store(true);
  ASSERT_TRUE(observer_.WaitForLogins(1));
  EXPECT_EQ(1, observer_.logins()) << "the refused login is not reported";
  EXPECT_TRUE(IsLoggedIn());

  // Logged in: only the notification, at once and on this thread.
  ASSERT_TRUE(StartLogin("alice", "alice-pw", false, false));
  EXPECT_EQ(2, observer_.logins());
  EXPECT_EQ(std::this_thread::get_id(), observer_.login_thread());
  EXPECT_EQ(1, peer.connections());

  const int logouts = observer_.logouts();
  LogoutAccount();
  EXPECT_EQ(logouts + 1, observer_.logouts());
  EXPECT_FALSE(IsLoggedIn());
}

TEST_F(LoginTest, ALogoutWhileTheAnswerIsOnItsWayWins) {
  std::atomic<bool> asked{false}, release{false};
  ScriptedPeer peer([&](Connection& c) {
    if (!ReadRequest(c)) return;
    asked.store(true);
    for (int i = 0; i < 3000 && !release.load(); ++i) port::SleepMs(10);
    c.Write(Http200(kWelcome));
    c.WaitForClientClose(10000);
  });
  UsePeer(peer);
  ASSERT_TRUE(StartLogin("alice", "alice-pw", true, true));
  for (int i = 0; i < 3000 && !asked.load(); ++i) port::SleepMs(10);
  ASSERT_TRUE(asked.load());
  LogoutAccount();
  release.store(true);
  ASSERT_TRUE(observer_.WaitForLogins(1));
  EXPECT_FALSE(IsLoggedIn());
  EXPECT_EQ("", GetUserId());

  // The next login is not held back by the one that was dropped.
  ASSERT_TRUE(StartLogin("alice", "alice-pw", false, false));
  ASSERT_TRUE(observer_.WaitForLogins(2));
  EXPECT_TRUE(IsLoggedIn());
}

}  // namespace
}  // namespace vexa
