#include "account/session.h"

#include <atomic>
#include <thread>

#include "account/account_file.h"
#include "account/test_data_dir.h"
#include "gtest/gtest.h"

namespace vexa {
namespace {

const char kAnswer[] = R"({
  "state": true, "error": "", "upload_allowed": 1, "is_vip": 1,
  "user_id": "1001", "user_name": "alice", "face": "f.png", "email": "a@example.com",
  "resource": "web", "userkey": "KEY", "url_upload": "http://up/d", "url_resume": "http://up/r",
  "url_cancel": "http://up/c", "target": "U_1_0", "time_limit": 1.5,
  "size_limit": 1073741824.9,
  "space": {"byte_size_total": 5000.7, "byte_size_used": 1000, "byte_size_remain": 4000,
            "size_used_percent": "20%", "size_total": "5K", "size_used": "1K", "size_remain": "4K"},
  "type_limit": ["exe", "JPG", "exe"],
  "file_range": {"0": "0-1048576", "1": "1048576-", "2": "x"}
})";

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override { LogoutAccount(); }
  void TearDown() override { LogoutAccount(); }
  TestDataDir dir_;
};

TEST_F(SessionTest, SuccessfulAnswerFillsTheSessionAndRemembersTheAccount) {
  ASSERT_TRUE(
      ApplyLoginAnswer(kAnswer, "alice@x", std::string(40, 'd'), true, false, LogoutCount()));
  const AccountState s = CopyAccountState();
  EXPECT_TRUE(IsLoggedIn());
  EXPECT_TRUE(s.isVip);
  EXPECT_EQ(1, GetUploadAllowed());
  EXPECT_EQ("1001", GetUserId());
  EXPECT_EQ("alice", GetUserName());
  EXPECT_EQ("KEY", GetUserKey());
  EXPECT_EQ("http://up/d", GetUploadUrl());
  EXPECT_EQ("http://up/r", GetResumeUrl());
  EXPECT_EQ("http://up/c", GetCancelUrl());
  EXPECT_EQ("U_1_0", GetDefaultTarget());
  EXPECT_EQ("web", s.resource);
  EXPECT_DOUBLE_EQ(1.5, GetTimeLimit());
  EXPECT_EQ(1073741824u, GetSizeLimit());
  EXPECT_EQ(5000u, s.spaceTotal);
  EXPECT_EQ(4000u, GetSpaceRemain());
  EXPECT_EQ("1K|5K|20%", GetSpaceSummary());
  EXPECT_EQ((std::vector<std::string>{"exe", "JPG", "exe"}), s.typeList);
  EXPECT_EQ(2u, s.sizeRanges.size());  // class 2 has no "-"

  std::string account, digest;
  bool remember, auto_login;
  ASSERT_TRUE(ReadRememberedAccount(&account, &digest, &remember, &auto_login));
  EXPECT_EQ("alice@x", account);
  EXPECT_EQ(std::string(40, 'd'), digest);
  EXPECT_TRUE(remember);
  EXPECT_FALSE(auto_login);
}

TEST_F(SessionTest, RefusedOrUnreadableAnswers) {
  ASSERT_TRUE(ApplyLoginAnswer(R"({"state": false, "error": "bad password", "user_id": "9"})", "a",
                               "d", true, true, LogoutCount()));
  EXPECT_FALSE(IsLoggedIn());
  EXPECT_EQ("bad password", GetLastErrorText());
  EXPECT_EQ("", GetUserId());

  // Not JSON: the session stays as it was.
  EXPECT_FALSE(ApplyLoginAnswer("<html>", "a", "d", true, true, LogoutCount()));
  EXPECT_EQ("bad password", GetLastErrorText());
  // Nesting deeper than the JSON reader allows is unreadable, not a crash.
  EXPECT_FALSE(ApplyLoginAnswer(std::string(100000, '['), "a", "d", true, true, LogoutCount()));
  EXPECT_EQ("bad password", GetLastErrorText());

  std::string account, digest;
  bool remember, auto_login;
  EXPECT_FALSE(ReadRememberedAccount(&account, &digest, &remember, &auto_login));
}

TEST_F(SessionTest, WrongValueTypeFailsTheLoginKeepingWhatWasRead) {
  ASSERT_TRUE(ApplyLoginAnswer(
      R"({"state": true, "error": "e", "upload_allowed": 3, "is_vip": true, "user_id": 123})", "a",
      "d", true, true, LogoutCount()));
  EXPECT_FALSE(IsLoggedIn());
  EXPECT_EQ("e", GetLastErrorText());
  EXPECT_EQ(3, GetUploadAllowed());
  EXPECT_TRUE(CopyAccountState().isVip);

  for (const char* body :
       {R"({"state": true, "space": "full"})", R"({"state": true, "file_range": 7})",
        R"({"state": true, "size_limit": "big"})", R"(["state"])",
        R"({"state": true, "type_limit": [1]})"}) {
    LogoutAccount();
    ASSERT_TRUE(ApplyLoginAnswer(body, "a", "d", false, false, LogoutCount())) << body;
    EXPECT_FALSE(IsLoggedIn()) << body;
  }
}

// The id becomes a file name (the resume store) and a section name: only a
// plain number is taken.
TEST_F(SessionTest, AUserIdThatIsNoPlainNumberFailsTheLogin) {
  for (const char* id :
       {"../x", "", "1/2", "12\\n", "7]", "-1", "1 ", "\\u0661", "123456789012345678901"}) {
    LogoutAccount();
    const std::string body =
        std::string(R"({"state": true, "userkey": "K", "user_id": ")") + id + "\"}";
    ASSERT_TRUE(ApplyLoginAnswer(body, "a", "d", true, false, LogoutCount())) << body;
    EXPECT_FALSE(IsLoggedIn()) << id;
    EXPECT_EQ("", GetUserId()) << id;
  }
  std::string account, digest;
  bool remember, auto_login;
  EXPECT_FALSE(ReadRememberedAccount(&account, &digest, &remember, &auto_login))
      << "nothing remembered";
  ASSERT_TRUE(ApplyLoginAnswer(R"({"state": true, "user_id": "12345678901234567890"})", "a", "d",
                               false, false, LogoutCount()));
  EXPECT_TRUE(IsLoggedIn());
}

TEST_F(SessionTest, SizeClassesAndTypeList) {
  EXPECT_EQ(2, ClassifyFileSize(0));  // no ranges: everything is class 2
  EXPECT_EQ(2, ClassifyFileSize(5));
  ASSERT_TRUE(ApplyLoginAnswer(kAnswer, "a", "d", false, false, LogoutCount()));
  EXPECT_EQ(0, ClassifyFileSize(1048576));
  EXPECT_EQ(1, ClassifyFileSize(1048577));
  EXPECT_EQ(1, ClassifyFileSize(UINT64_MAX));  // high bound 0: unbounded
  EXPECT_EQ(2, ClassifyFileSize(0));
  EXPECT_TRUE(IsTypeListed("C:/a/setup.EXE"));
  EXPECT_FALSE(IsTypeListed("photo.jpg"));  // the list's "JPG" is compared as sent
  EXPECT_FALSE(IsTypeListed("noext"));
}

class RecordingObserver : public LoginObserver {
 public:
  explicit RecordingObserver(std::string* log, char tag) : log_(log), tag_(tag) {}
  void OnLogin() override { *log_ += std::string("in") + tag_ + (IsLoggedIn() ? "+" : "-") + " "; }
  void OnLogout() override { *log_ += std::string("out") + tag_ + " "; }

 private:
  std::string* log_;
  char tag_;
};

TEST_F(SessionTest, ObserversAreToldInOrderOnce) {
  std::string log;
  RecordingObserver a(&log, 'A'), b(&log, 'B');
  AddLoginObserver(&a);
  AddLoginObserver(&b);
  AddLoginObserver(&a);
  ApplyLoginAnswer(kAnswer, "a", "d", false, false, LogoutCount());
  NotifyLoginObservers();
  LogoutAccount();
  RemoveLoginObserver(&a);
  RemoveLoginObserver(&b);
  EXPECT_EQ("inA+ inB+ outA outB ", log);
  EXPECT_FALSE(IsLoggedIn());
  EXPECT_EQ("", GetUserKey());
  EXPECT_EQ(0u, GetSizeLimit());
  EXPECT_TRUE(CopyAccountState().typeList.empty());
  EXPECT_EQ("", AccountFile().path());
}

// Readers get whole snapshots: never the user id of one login with the key of
// another.
TEST_F(SessionTest, ReadsAreConsistentCopiesWhileLoginsAndLogoutsRun) {
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::thread reader([&] {
    while (!done.load()) {
      const AccountState s = CopyAccountState();
      if (s.userId.empty() != s.userKey.empty() ||
          (!s.userId.empty() && s.userKey != "K" + s.userId)) {
        ++torn;
      }
    }
  });
  for (int i = 0; i < 200; ++i) {
    const std::string id = std::to_string(i);
    ApplyLoginAnswer(R"({"state": true, "user_id": ")" + id + R"(", "userkey": "K)" + id + R"("})",
                     "a", "d", false, false, LogoutCount());
    if (i % 3 == 0) LogoutAccount();
  }
  done = true;
  reader.join();
  EXPECT_EQ(0, torn.load());
}

}  // namespace
}  // namespace vexa
