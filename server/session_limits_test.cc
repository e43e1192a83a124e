// How many uploads a user may keep open, and the sweep of idle ones.

#include "server/testing/service_fixture.h"

namespace vexa::server {
namespace {

class SessionLimitsTest : public ServiceTest {};

TEST_F(SessionLimitsTest, OpenUploadsPerUserAreCappedAndResumesAndCancelsStillWork) {
  StartServer({"--max-sessions", "3"});
  ASSERT_TRUE(Login("alice", "alice-pw")["state"].asBool());
  std::vector<Upload> open;
  for (int i = 0; i < 3; ++i) {
    open.push_back(Start(RandomBytes(100, i), "f" + std::to_string(i), ""));
    ASSERT_EQ(1, open.back().answer["status"].asInt()) << open.back().answer;
  }
  Json::Value refused = Start(RandomBytes(100, 7), "f7", "").answer;
  EXPECT_EQ(501, refused["statuscode"].asInt()) << refused;

  // An upload already open resumes, and finishing one makes room.
  Upload& u = open[0];
  u.answer = Dispatch("url_resume", "f0", u.size, "", u.fileId, u.quickId, u.pickCode);
  Adopt(&u);
  ASSERT_EQ(1, u.answer["status"].asInt()) << u.answer;
  ASSERT_EQ(1, SendAll(u, RandomBytes(100, 0)));
  EXPECT_EQ(1, Start(RandomBytes(100, 8), "f8", "").answer["status"].asInt());
  EXPECT_EQ(501, Start(RandomBytes(100, 9), "f9", "").answer["statuscode"].asInt());
  // So does a cancel.
  Json::Value cancel = Dispatch("url_cancel", "f1", open[1].size, "", open[1].fileId,
                                open[1].quickId, open[1].pickCode);
  EXPECT_EQ(0, cancel["statuscode"].asInt()) << cancel;
  EXPECT_EQ(1, Start(RandomBytes(100, 9), "f9", "").answer["status"].asInt());

  // Content held already needs no session; another user has a cap of their own.
  EXPECT_EQ(2, Start(RandomBytes(100, 0), "copy", "").answer["status"].asInt());
  ASSERT_TRUE(Login("bob", "bob-pw")["state"].asBool());
  EXPECT_EQ(1, Start(RandomBytes(100, 10), "b", "").answer["status"].asInt());
}

TEST_F(SessionLimitsTest, TheIdleSweepUsesAnIndex) {
  StartServer();
  server_->Stop(9);
  sqlite3* db = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open((dir_ + "/vexa.db").c_str(), &db));
  sqlite3_stmt* plan = nullptr;
  ASSERT_EQ(SQLITE_OK,
            sqlite3_prepare_v2(db, "EXPLAIN QUERY PLAN SELECT id FROM sessions WHERE touched < 5",
                               -1, &plan, nullptr));
  std::string detail;
  while (sqlite3_step(plan) == SQLITE_ROW) {
    detail += reinterpret_cast<const char*>(sqlite3_column_text(plan, 3));
  }
  sqlite3_finalize(plan);
  sqlite3_close(db);
  EXPECT_NE(std::string::npos, detail.find("USING")) << detail;
}

}  // namespace
}  // namespace vexa::server
