#include "account/space.h"

#include <string>

#include "account/account_api.h"
#include "account/session.h"
#include "gtest/gtest.h"
#include "net/http_client.h"
#include "net/testing/scripted_peer.h"

namespace vexa {
namespace {

using Connection = ScriptedPeer::Connection;

const char kSpace[] = R"("space": {"byte_size_total": 5000.9, "byte_size_used": 1000,
  "byte_size_remain": 4000, "size_used_percent": "20%", "size_total": "5K", "size_used": "1K",
  "size_remain": "4K"})";

std::string SpaceAnswer(const std::string& head) { return "{" + head + ", " + kSpace + "}"; }

AccountState Quota(uint64_t remain, const std::string& summary) {
  AccountState s;
  s.spaceRemain = remain;
  s.spaceSummary = summary;
  return s;
}

TEST(ReadSpaceAnswerTest, AcceptsOnlyAWholeAnswerForTheSameUser) {
  AccountState s = Quota(1, "old");
  ASSERT_TRUE(ReadSpaceAnswer(SpaceAnswer(R"("state": true, "user_id": "7", "size_used": "top")"),
                              "7", &s));
  EXPECT_EQ(5000u, s.spaceTotal);
  EXPECT_EQ(1000u, s.spaceUsed);
  EXPECT_EQ(4000u, s.spaceRemain);
  EXPECT_EQ("4K", s.sizeRemain);
  EXPECT_EQ("1K|5K|20%", s.spaceSummary) << "built from \"space\" only";

  // Each is refused with the quota as it was.
  const char* const kRefused[] = {
      R"({"state": false, "user_id": "7"})",
      R"({"state": true, "user_id": "8"})",
      R"({"state": true, "user_id": "7 "})",
      R"({"state": true, "user_id": 7})",
      R"({"state": true})",
      R"({"state": "yes", "user_id": "7"})",
      R"({"state": true, "user_id": "7", "space": "full"})",
      R"({"state": true, "user_id": "7", "space": {"size_used": "1K", "byte_size_remain": "4000"}})",
      R"({"state": true, "user_id": "7", "space": {"byte_size_remain": 4000, "size_used": 1}})",
      R"([true, "7"])",
      "not json",
      "",
  };
  for (const char* body : kRefused) {
    AccountState q = Quota(1, "old");
    EXPECT_FALSE(ReadSpaceAnswer(body, "7", &q)) << body;
    EXPECT_EQ(1u, q.spaceRemain) << body;
    EXPECT_EQ("old", q.spaceSummary) << body;
  }

  // Missing values read as zero and empty.
  AccountState q = Quota(1, "old");
  ASSERT_TRUE(ReadSpaceAnswer(R"({"state": 1, "user_id": "7"})", "7", &q));
  EXPECT_EQ(0u, q.spaceRemain);
  EXPECT_EQ("||", q.spaceSummary);
}

class RefreshSpaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ProcessHttpClient().useSystemProxy = false;
    LogoutAccount();
  }
  void TearDown() override {
    LogoutAccount();
    SetAccountApiBase("");
  }
  static void LogIn(const std::string& user_id, const std::string& resource) {
    UpdateAccountState([&](AccountState* s) {
      s->loggedIn = true;
      s->userId = user_id;
      s->resource = resource;
      s->spaceRemain = 1;
      s->spaceSummary = "old";
    });
  }
};

// Reads the request head, lets `during` run, then answers `body`.
ScriptedPeer::Script AnswerWith(std::string status, std::string body, void (*during)() = nullptr) {
  return [status, body, during](Connection& c) {
    if (!c.ReadUntil("\r\n\r\n")) return;
    if (during != nullptr) during();
    c.Write("HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) +
            "\r\n\r\n" + body);
    c.WaitForClientClose(10000);
  };
}

TEST_F(RefreshSpaceTest, AsksWithTheSessionsResourceAndStoresTheAnswer) {
  ScriptedPeer peer(AnswerWith("200 OK", SpaceAnswer(R"("state": true, "user_id": "7")")));
  ASSERT_NE(0, peer.port());
  SetAccountApiBase("http://127.0.0.1:" + std::to_string(peer.port()));

  EXPECT_FALSE(RefreshSpaceInfo()) << "logged out";
  EXPECT_EQ(0, peer.connections());

  LogIn("7", "r&1 x");
  ASSERT_TRUE(RefreshSpaceInfo());
  EXPECT_EQ(0u,
            peer.received().rfind("GET /app/user/space?source=r%261%20x&user_id=7 HTTP/1.1\r\n", 0))
      << peer.received();
  EXPECT_EQ(4000u, GetSpaceRemain());
  EXPECT_EQ("1K|5K|20%", GetSpaceSummary());
}

TEST_F(RefreshSpaceTest, FailuresLeaveTheQuotaAsItWas) {
  LogIn("7", "r1");
  EXPECT_FALSE(RefreshSpaceInfo()) << "no account API base";

  {
    ScriptedPeer peer(
        AnswerWith("500 Internal Server Error", SpaceAnswer(R"("state": true, "user_id": "7")")));
    SetAccountApiBase("http://127.0.0.1:" + std::to_string(peer.port()));
    EXPECT_FALSE(RefreshSpaceInfo());
    EXPECT_EQ(1, peer.connections());
  }
  {
    ScriptedPeer peer(AnswerWith("200 OK", SpaceAnswer(R"("state": true, "user_id": "70")")));
    SetAccountApiBase("http://127.0.0.1:" + std::to_string(peer.port()));
    EXPECT_FALSE(RefreshSpaceInfo()) << "another user's answer";
  }
  {
    // Another user logs in while the query runs: its answer is stale.
    ScriptedPeer peer(AnswerWith("200 OK", SpaceAnswer(R"("state": true, "user_id": "7")"), [] {
      UpdateAccountState([](AccountState* s) { s->userId = "8"; });
    }));
    SetAccountApiBase("http://127.0.0.1:" + std::to_string(peer.port()));
    EXPECT_FALSE(RefreshSpaceInfo());
  }
  EXPECT_EQ(1u, GetSpaceRemain());
  EXPECT_EQ("old", GetSpaceSummary());
}

}  // namespace
}  // namespace vexa
