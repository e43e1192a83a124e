#include "protocol/dispatch_request.h"

#include <string>
#include <vector>

#include "account/session.h"
#include "gtest/gtest.h"
#include "port/file.h"
#include "protocol/testing/memory_job.h"

namespace vexa {
namespace {

constexpr char kFileId[] = "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709";
constexpr char kQuickId[] = "0123456789ABCDEF0123456789ABCDEF01234567";

class DispatchRequestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    UpdateAccountState([](AccountState* s) {
      *s = AccountState();
      s->loggedIn = true;
      s->userId = "500";
      s->userKey = "k3y";
      s->urlUpload = "http://up.example/app/upload";
      s->urlResume = "http://up.example/app/resume";
      s->urlCancel = "http://up.example/app/cancel";
    });
    const char sep = port::kPathSeparator;
    job_.fields.filePath = std::string() + sep + "home" + sep + "u" + sep + "My file \xC3\xBC.txt";
    job_.fields.fileId = kFileId;
    job_.fields.quickId = kQuickId;
    job_.fields.remotePath = "docs/2024";
    job_.fields.target = "77";
    job_.fields.fileSize = 5000000000;
    job_.fields.ispType = -1;
  }
  void TearDown() override {
    UpdateAccountState([](AccountState* s) { *s = AccountState(); });
  }

  MemoryJob job_;
};

// Signatures below were computed outside this code base from the same values.
TEST_F(DispatchRequestTest, BuildsTheExactRequestForEachBase) {
  const std::string body_start =
      "userid=500&filename=%4D%79%20%66%69%6C%65%20%C3%BC%2E%74%78%74&filesize=5000000000&target=77"
      "&path=%64%6F%63%73%2F%32%30%32%34&fileid=DA39A3EE5E6B4B0D3255BFEF95601890AFD80709"
      "&quickid=0123456789ABCDEF0123456789ABCDEF01234567&pickcode=";
  const std::string query =
      "?appid=0&appversion=win_1.0.1026.4&format=json&isp=18446744073709551615&sig=";
  std::string url, body, sig;

  ASSERT_TRUE(BuildDispatchRequest(job_, &url, &body));
  EXPECT_EQ(url,
            "http://up.example/app/upload" + query + "666EE05D4B37FCCB13EFBB51BA2773775BCD098E");
  EXPECT_EQ(body, body_start);
  ASSERT_TRUE(DispatchSignature(job_, &sig));
  EXPECT_EQ(sig, "666EE05D4B37FCCB13EFBB51BA2773775BCD098E");

  job_.fields.pickCode = "pk9";
  ASSERT_TRUE(BuildDispatchRequest(job_, &url, &body));
  EXPECT_EQ(url,
            "http://up.example/app/resume" + query + "B69143288A5CBD237F02F6F0580AC7FAF2C4CFAC");
  EXPECT_EQ(body, body_start + "pk9");

  // The cancel request is the same request sent to the cancel address.
  job_.state = JobState::kCancelled;
  ASSERT_TRUE(BuildDispatchRequest(job_, &url, &body));
  EXPECT_EQ(url,
            "http://up.example/app/cancel" + query + "B69143288A5CBD237F02F6F0580AC7FAF2C4CFAC");
  EXPECT_EQ(body, body_start + "pk9");
}

TEST_F(DispatchRequestTest, IsNotBuiltWithoutABase) {
  std::string url = "u", body = "b";
  job_.state = JobState::kOther;  // stopped, waiting, hashing...
  EXPECT_FALSE(BuildDispatchRequest(job_, &url, &body));
  job_.state = JobState::kUploading;
  UpdateAccountState([](AccountState* s) { s->urlUpload.clear(); });  // logged out meanwhile
  EXPECT_FALSE(BuildDispatchRequest(job_, &url, &body));
  EXPECT_EQ(url, "u");
  EXPECT_EQ(body, "b");
}

struct DispatchCase {
  const char* name;
  std::string answer;
  bool ok;
  int32_t error_code;  // after the call; 7 = untouched
  bool quick;
  std::string key, url;
  int64_t time;
  std::vector<std::string> targets;
  std::string pickCode;  // after the call; the job starts with "" unless `had_pick`
  bool had_pick = false;
};

TEST_F(DispatchRequestTest, ReadsAnswers) {
  const std::string gbk_no_space = "\xBF\xD5\xBC\xE4\xB2\xBB\xD7\xE3";
  const std::vector<DispatchCase> cases = {
      {"full",
       R"({"status":2,"statuscode":0,"uploadkey":"K","uploadurl":"http://u/up","uploadtime":1700000000.9,
           "target":"a/b/c","pickcode":"p1"})",
       true,
       7,
       true,
       "K",
       "http://u/up",
       1700000000,
       {"c"},
       "p1"},
      {"missing keys", "{}", true, 7, false, "", "", 0, {}, ""},
      {"target without slash",
       R"({"status":1,"target":"900","pickcode":"p2"})",
       true,
       7,
       false,
       "",
       "",
       0,
       {"900"},
       "p2"},
      {"target ending in slash", R"({"target":"900/"})", true, 7, false, "", "", 0, {}, ""},
      {"pick code kept", R"({"pickcode":"new"})", true, 7, false, "", "", 0, {}, "old", true},
      {"negative time", R"({"uploadtime":-3.7})", true, 7, false, "", "", -3, {}, ""},
      {"collision",
       R"({"statuscode":300,"statusmsg":"x"})",
       false,
       300,
       false,
       "old-k",
       "",
       0,
       {},
       ""},
      {"no space",
       R"({"statuscode":410,"statusmsg":"空间不足"})",
       false,
       410,
       false,
       "old-k",
       "",
       0,
       {},
       ""},
      {"not json", "<html>502</html>", false, 7, false, "old-k", "", 0, {}, ""},
      {"json null", "null", false, 7, false, "old-k", "", 0, {}, ""},
      {"array", "[0]", false, 7, false, "old-k", "", 0, {}, ""},
      {"statuscode as text", R"({"statuscode":"0"})", false, 7, false, "old-k", "", 0, {}, ""},
      {"key as number",
       R"({"status":2,"uploadkey":5,"pickcode":"p"})",
       false,
       7,
       false,
       "old-k",
       "",
       0,
       {},
       ""},
      {"time as text", R"({"uploadtime":"1"})", false, 7, false, "old-k", "", 0, {}, ""},
      {"target as object", R"({"target":{}})", false, 7, false, "old-k", "", 0, {}, ""},
      // The pick code travels unencoded in later requests and names a store section.
      {"pick code adding a field",
       R"({"uploadkey":"K","pickcode":"p&sig=0"})",
       false,
       7,
       false,
       "old-k",
       "",
       0,
       {},
       ""},
      {"pick code with a line break",
       R"({"uploadkey":"K","pickcode":"p\r\n[x]"})",
       false,
       7,
       false,
       "old-k",
       "",
       0,
       {},
       ""},
      {"pick code too long",
       R"({"pickcode":")" + std::string(65, 'a') + R"("})",
       false,
       7,
       false,
       "old-k",
       "",
       0,
       {},
       ""},
  };
  for (const DispatchCase& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryJob job;
    job.error_code = 7;
    job.transfer.uploadKey = "old-k";
    if (c.had_pick) job.fields.pickCode = "old";
    EXPECT_EQ(ParseDispatchResponse(job, c.answer), c.ok);
    EXPECT_EQ(job.error_code, c.error_code);
    EXPECT_EQ(job.quick_upload, c.quick);
    EXPECT_EQ(job.transfer.uploadKey, c.key);
    EXPECT_EQ(job.transfer.uploadUrl, c.url);
    EXPECT_EQ(job.transfer.uploadTime, c.time);
    EXPECT_EQ(job.folder_targets, c.targets);
    EXPECT_EQ(job.fields.pickCode, c.pickCode);
    if (c.error_code == 410) {
      EXPECT_EQ(job.worker_text, gbk_no_space);
    }
  }
}

TEST_F(DispatchRequestTest, AnswerNeedsATransferContext) {
  job_.has_transfer = false;
  EXPECT_FALSE(ParseDispatchResponse(job_, R"({"statuscode":0})"));
  EXPECT_FALSE(ParseDispatchResponse(job_, R"({"statuscode":405})"));
  EXPECT_EQ(job_.error_code, 0);
}

}  // namespace
}  // namespace vexa
