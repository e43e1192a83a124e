// How long logins live, how many a user keeps, and how logins are limited.

#include <chrono>
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

}  // namespace
}  // namespace vexa::server
