#include "protocol/transfer_request.h"

#include <string>
#include <vector>

#include "account/session.h"
#include "gtest/gtest.h"
#include "protocol/testing/memory_job.h"

namespace vexa {
namespace {

TEST(TransferRequestTest, BuildsBothUrlsWithOneSignature) {
  UpdateAccountState([](AccountState* s) { s->userId = "500"; });
  MemoryJob job;
  job.fields.fileSize = 1048577;
  job.transfer.uploadUrl = "http://127.0.0.1:81/upload";
  job.transfer.uploadKey = "upk";
  job.transfer.uploadTime = 1700000000;
  // Computed outside this code base: SHA-1 of "503418" "upk" "0".
  const std::string sig = "D2EE154E39917F4DC59C695E8E7EC6E211B8097F";
  const std::string query =
      "?appid=0&appversion=win_1.0.1026.4&format=json&ets=1700000000&filesize=1048577&userid=500&"
      "pickcode=";
  std::string url;
  ASSERT_TRUE(BuildCheckUrl(job, &url));
  EXPECT_EQ(url, "http://127.0.0.1:81/upload/2.0/check" + query + "&sig=" + sig);
  job.fields.pickCode = "pk9";
  ASSERT_TRUE(BuildBigUploadUrl(job, &url));
  EXPECT_EQ(url, "http://127.0.0.1:81/upload/2.0/bigupload" + query + "pk9&sig=" + sig);

  job.has_transfer = false;
  EXPECT_FALSE(BuildCheckUrl(job, &url));
  EXPECT_FALSE(BuildBigUploadUrl(job, &url));
  EXPECT_EQ(url, "http://127.0.0.1:81/upload/2.0/bigupload" + query + "pk9&sig=" + sig);
  UpdateAccountState([](AccountState* s) { *s = AccountState(); });
}

struct OffsetCase {
  const char* name;
  std::string answer;
  bool ok;
  int64_t offset;      // transfer offset after the call (starts at 99)
  int32_t error_code;  // 7 = untouched
};

TEST(TransferRequestTest, ReadsCheckAndRangeAnswers) {
  const std::vector<OffsetCase> cases = {
      {"offset", R"({"status":1,"statuscode":0,"offset":524288})", true, 524288, 7},
      {"fraction truncated", R"({"offset":1048576.9})", true, 1048576, 7},
      {"missing keys", "{}", true, 0, 7},
      {"whole file", R"({"offset":2000000})", true, 2000000, 7},
      {"past the file", R"({"offset":2000001})", false, 99, 7},
      {"negative", R"({"offset":-1})", false, 99, 7},
      {"huge", R"({"offset":1e300})", false, 99, 7},
      {"bad range", R"({"statuscode":404,"statusmsg":"range","offset":5})", false, 99, 404},
      {"hash mismatch", R"({"statuscode":405})", false, 99, 405},
      {"offset as text", R"({"offset":"5"})", false, 99, 7},
      {"message as number", R"({"statuscode":402,"statusmsg":1})", false, 99, 7},
      {"not json", "HTTP error", false, 99, 7},
      {"empty", "", false, 99, 7},
  };
  for (bool check : {true, false}) {
    for (const OffsetCase& c : cases) {
      SCOPED_TRACE(std::string(check ? "check: " : "range: ") + c.name);
      MemoryJob job;
      job.fields.fileSize = 2000000;
      job.transfer.offset = 99;
      job.uploaded_size = 77;
      job.error_code = 7;
      EXPECT_EQ(check ? ParseCheckResponse(job, c.answer) : ParseBigUploadResponse(job, c.answer),
                c.ok);
      EXPECT_EQ(job.transfer.offset, c.offset);
      EXPECT_EQ(job.error_code, c.error_code);
      // Only the check answer sets the task's uploaded bytes.
      EXPECT_EQ(job.uploaded_size.load(), check && c.ok ? c.offset : 77);
    }
  }
}

}  // namespace
}  // namespace vexa
