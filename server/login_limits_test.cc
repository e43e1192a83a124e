// How long logins live, how many a user keeps, and how logins are limited.

#include <cctype>
#include <chrono>
#include <ctime>
#include <thread>

#include "server/testing/service_fixture.h"

namespace vexa::server {
namespace {

class LoginLimitsTest : public ServiceTest {
 protected:
  bool SpaceAnswers(const Json::Value& login) {
    return GetJson("/app/user/space?source=" + login["resource"].asString() +
                   "&user_id=" + login["user_id"].asString())["state"]
        .asBool();
  }
};

TEST_F(LoginLimitsTest, ALoginInUseOutlivesThirtyDaysAndAnIdleOneExpires) {
  StartServer();
  Json::Value login = Login("alice", "alice-pw");
  ASSERT_TRUE(SpaceAnswers(login));
  // Made 31 days ago but used a moment ago.
  server_->Stop(9);
  ExecSql(dir_, "UPDATE logins SET issued = issued - 31 * 86400");
  StartServer();
  EXPECT_TRUE(SpaceAnswers(login));
  const std::string content = "kept in use";
  Upload u = Start(content, "a.txt", "");
  EXPECT_EQ(1, u.answer["status"].asInt()) << u.answer;

  // Unused for 31 days: gone, for the space query and for dispatches alike.
  server_->Stop(9);
  ExecSql(dir_, "UPDATE logins SET used = used - 31 * 86400");
  StartServer();
  EXPECT_FALSE(SpaceAnswers(login));
  EXPECT_EQ(400, Start("other", "b.txt", "").answer["statuscode"].asInt());
}

TEST_F(LoginLimitsTest, TheIdleLoginsAreDroppedFirst) {
  StartServer();
  Json::Value first = Login("alice", "alice-pw");
  Json::Value second = Login("alice", "alice-pw");
  for (int i = 0; i < 30; ++i) ASSERT_TRUE(Login("alice", "alice-pw")["state"].asBool());
  // The first login is used again after the others were made; the 33rd
  // login then pushes out the longest idle one, the second.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  ASSERT_TRUE(SpaceAnswers(first));
  ASSERT_TRUE(Login("alice", "alice-pw")["state"].asBool());
  EXPECT_TRUE(SpaceAnswers(first));
  EXPECT_FALSE(SpaceAnswers(second));
}

std::string LoginBody(const std::string& account, const std::string& password, int64_t time) {
  std::string digest;
  PasswordDigest(password, &digest);
  const std::string time_text = std::to_string(time);
  return "account=" + account + "&_time=" + time_text +
         "&version=win_1.0.1026.4&sign=" + LoginSign(account, digest, time_text);
}

TEST_F(LoginLimitsTest, ACapturedLoginBodyDoesNotLogInAgain) {
  StartServer();
  const int64_t now = std::time(nullptr);
  const std::string body = LoginBody("alice", "alice-pw", now);
  ASSERT_TRUE(PostJson("/app/clogin", body)["state"].asBool());
  // The same client logging in twice while its clock shows the same second
  // sends the same bytes; that still works.
  ASSERT_TRUE(PostJson("/app/clogin", body)["state"].asBool());
  std::this_thread::sleep_for(std::chrono::milliseconds(2200));
  Json::Value replay = PostJson("/app/clogin", body);
  EXPECT_FALSE(replay["state"].asBool());
  EXPECT_FALSE(replay.isMember("userkey"));
  EXPECT_FALSE(replay["error"].asString().empty());
  // Neither does another spelling of the same signed values.
  std::string upper = body;
  for (size_t i = upper.find("&sign=") + 6; i < upper.size(); ++i)
    upper[i] = std::toupper(upper[i]);
  EXPECT_FALSE(PostJson("/app/clogin", upper + "&extra=1")["state"].asBool());
  // A body of another second is a new login.
  EXPECT_TRUE(PostJson("/app/clogin", LoginBody("alice", "alice-pw", now - 1))["state"].asBool());
}

TEST_F(LoginLimitsTest, RepeatedFailuresLockTheAccountFromThatAddressWithTheWrongPasswordAnswer) {
  StartServer();
  const Json::Value wrong = Login("alice", "guess");
  EXPECT_FALSE(wrong["state"].asBool());
  for (int i = 1; i < 10; ++i) EXPECT_FALSE(Login("alice", "guess")["state"].asBool());
  // The right password now reads exactly as a wrong one, for this account
  // from this address; other accounts from here are not locked with it.
  EXPECT_EQ(wrong, Login("alice", "alice-pw"));
  EXPECT_TRUE(Login("bob", "bob-pw")["state"].asBool());
}

}  // namespace
}  // namespace vexa::server
