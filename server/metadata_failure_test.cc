// A database that fails under the running service: the answer is a server
// failure, never "unknown user" and never "nothing used" in the quota check.
// A table dropped by another connection makes every later query of it fail.

#include "server/testing/service_fixture.h"

namespace vexa::server {
namespace {

constexpr int kServerFailureCode = 502;
constexpr char kServerFailureText[] = "the service cannot read the account; try again later";

class MetadataFailureTest : public ServiceTest {
 protected:
  // Each row runs on a service and data folder of its own.
  void StartAfresh() {
    TearDown();
    SetUp();
    StartServer();
  }
};

TEST_F(MetadataFailureTest, AFailedQueryRefusesTheUploadAsAServerFailure) {
  enum class Ask { kNew, kCheck, kHeldCopy };
  struct Case {
    const char* table;  // dropped after the login
    Ask ask;
    const char* reads;
  };
  const Case cases[] = {
      {"files", Ask::kNew, "bytes in use, for the quota"},
      {"sessions", Ask::kHeldCopy, "bytes reserved by open uploads, for the quota"},
      {"users", Ask::kNew, "the user of a dispatch"},
      {"users", Ask::kCheck, "the user of a check"},
  };
  const std::string held = RandomBytes(100, 3);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reads);
    StartAfresh();
    ASSERT_TRUE(Login("alice", "alice-pw")["state"].asBool());
    Upload done = Start(held, "held.bin", "");
    ASSERT_EQ(1, SendAll(done, held));
    Upload open = Start(RandomBytes(100, 1), "open.bin", "");
    ASSERT_EQ(1, open.answer["status"].asInt()) << open.answer;
    ExecSql(dir_, std::string("DROP TABLE ") + c.table);
    Json::Value v;
    switch (c.ask) {
      case Ask::kNew:
        v = Start(RandomBytes(100, 2), "new.bin", "").answer;
        break;
      case Ask::kCheck:
        v = Check(open);
        break;
      case Ask::kHeldCopy:
        v = Start(held, "copy.bin", "").answer;
        break;
    }
    EXPECT_FALSE(v["state"].asBool()) << v;
    EXPECT_EQ(kServerFailureCode, v["statuscode"].asInt()) << v;
  }
}

TEST_F(MetadataFailureTest, AFailedAccountLookupIsNotAWrongPassword) {
  enum class Ask { kLogin, kSpace, kWebLogin };
  struct Case {
    const char* table;
    Ask ask;
    const char* reads;
  };
  const Case cases[] = {
      {"users", Ask::kLogin, "the account of a login"},
      {"files", Ask::kLogin, "the bytes in use a login answers"},
      {"users", Ask::kSpace, "the user of a space query"},
      {"files", Ask::kSpace, "the bytes in use a space query answers"},
      {"users", Ask::kWebLogin, "the account of a web login"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reads);
    StartAfresh();
    ASSERT_TRUE(Login("alice", "alice-pw")["state"].asBool());
    ExecSql(dir_, std::string("DROP TABLE ") + c.table);
    switch (c.ask) {
      case Ask::kLogin: {
        Json::Value v = Login("alice", "alice-pw");
        EXPECT_FALSE(v["state"].asBool()) << v;
        EXPECT_EQ(kServerFailureText, v["error"].asString());
        break;
      }
      case Ask::kSpace: {
        Json::Value v = GetJson("/app/user/space?source=" + login_["resource"].asString() +
                                "&user_id=" + login_["user_id"].asString());
        EXPECT_FALSE(v["state"].asBool()) << v;
        EXPECT_EQ(kServerFailureText, v["error"].asString());
        break;
      }
      case Ask::kWebLogin: {
        int status = 0;
        EXPECT_EQ("", WebLogin("alice", "alice-pw", &status));
        EXPECT_EQ(500, status);
        break;
      }
    }
  }
}

}  // namespace
}  // namespace vexa::server
