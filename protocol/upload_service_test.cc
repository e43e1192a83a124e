// The requests of this module against the real upload service.

#include <json/json.h>

#include <memory>
#include <random>
#include <string>

#include "account/session.h"
#include "account/test_data_dir.h"
#include "codec/login_sign.h"
#include "codec/sha1.h"
#include "codec/text.h"
#include "gtest/gtest.h"
#include "net/connect_to_server.h"
#include "net/http_client.h"
#include "net/http_response.h"
#include "port/clock.h"
#include "port/file.h"
#include "protocol/chunk_post.h"
#include "protocol/dispatch_request.h"
#include "protocol/testing/memory_job.h"
#include "protocol/transfer_request.h"
#include "server/testing/server_process.h"

namespace vexa {
namespace {

Json::Value ParseJson(const std::string& text) {
  Json::Value v;
  Json::CharReaderBuilder b;
  std::unique_ptr<Json::CharReader> reader(b.newCharReader());
  std::string errors;
  EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &v, &errors)) << text;
  return v;
}

class UploadServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    client_.useSystemProxy = false;
    client_.connectTimeoutMs = 5000;
    client_.idleTimeoutMs = 30000;
    server_ = std::make_unique<server::ServerProcess>(dir_.File("server"));
    ASSERT_TRUE(server_->Start());
    // The login the account module makes, written out here.
    std::string digest;
    ASSERT_TRUE(PasswordDigest("alice-pw", &digest));
    const std::string time_text = std::to_string(port::UnixTimeSeconds());
    const std::string body = "account=alice&_time=" + time_text + "&version=win_1.0.1026.4&sign=" +
                             LoginSign("alice", digest, time_text);
    std::string answer;
    ASSERT_TRUE(client_.Post(server_->base() + "/app/clogin", body, &answer));
    AccountState state;
    ASSERT_TRUE(ReadLoginAnswer(answer, &state));
    ASSERT_TRUE(state.loggedIn) << answer;
    UpdateAccountState([&state](AccountState* s) { *s = state; });
    target_ = state.target;
  }
  void TearDown() override {
    for (auto& job : jobs_) {
      if (job->transfer.file != nullptr) std::fclose(job->transfer.file);
    }
    UpdateAccountState([](AccountState* s) { *s = AccountState(); });
  }

  // A job for a file of `content`, with both identities computed.
  MemoryJob& NewJob(const std::string& name, const std::string& content,
                    const std::string& remote_path = "") {
    const std::string path = dir_.File(name);
    WriteWholeFile(path, content);
    auto job = std::make_unique<MemoryJob>();
    uint32_t error = 0;
    EXPECT_TRUE(Sha1FileHex(&error, nullptr, path, &job->fields.fileId));
    EXPECT_TRUE(QuickIdHex(path, &job->fields.quickId, &error));
    job->fields.filePath = path;
    job->fields.fileSize = static_cast<int64_t>(content.size());
    job->fields.target = target_;
    job->fields.remotePath = remote_path;
    job->transfer.file = port::OpenFileShared(path, "rb");
    EXPECT_NE(job->transfer.file, nullptr);
    jobs_.push_back(std::move(job));
    return *jobs_.back();
  }

  bool Dispatch(MemoryJob& job) {
    std::string url, body, answer;
    EXPECT_TRUE(BuildDispatchRequest(job, &url, &body));
    EXPECT_TRUE(client_.Post(url, body, &answer));
    return ParseDispatchResponse(job, answer);
  }

  // The range loop of the transfer worker, without its pauses. Returns false
  // at the first failed range; the service's offset rules the next range.
  bool SendRanges(MemoryJob& job) {
    std::string url;
    EXPECT_TRUE(BuildBigUploadUrl(job, &url));
    while (job.transfer.offset < job.fields.fileSize) {
      job.transfer.chunkLength = kMaxRangeBytes;
      std::string answer;
      bool fatal = false;
      if (!PostChunk(client_, kChunkBoundary, job, url, &answer, &fatal, nullptr)) {
        ADD_FAILURE() << "range at " << job.transfer.offset << " failed, fatal " << fatal;
        return false;
      }
      if (!ParseBigUploadResponse(job, answer)) return false;
      job.SetUploadedSize(job.transfer.offset);
    }
    return true;
  }

  // What the service holds: path -> {size, sha1} of alice's files.
  Json::Value ExportedFiles() {
    std::unique_ptr<CProxySocket> socket = client_.NewSocket();
    EXPECT_TRUE(socket->Initialize());
    EXPECT_TRUE(ConnectToServer(client_, *socket, "127.0.0.1", server_->port()));
    const std::string request =
        std::string("GET /admin/export HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Admin-Token: ") +
        server::kTestAdminToken + "\r\n\r\n";
    EXPECT_EQ(socket->Send(request), static_cast<int32_t>(request.size()));
    std::string response;
    EXPECT_TRUE(ReadResponse(*socket, &response));
    EXPECT_TRUE(ExtractBody(&response));
    const Json::Value root = ParseJson(response);
    for (const Json::Value& user : root["users"]) {
      if (user["account"].asString() == "alice") return user["files"];
    }
    return Json::Value();
  }

  static std::string RandomContent(size_t size, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(size, '\0');
    for (char& c : s) c = static_cast<char>(gen());
    return s;
  }

  TestDataDir dir_;
  HttpClient client_;
  std::unique_ptr<server::ServerProcess> server_;
  std::string target_;
  std::vector<std::unique_ptr<MemoryJob>> jobs_;
};

TEST_F(UploadServiceTest, UploadsAFileRangeByRangeAndThenQuickly) {
  const std::string content = RandomContent(2 * kMaxRangeBytes + 12345, 1);
  MemoryJob& job = NewJob("two ranges and a bit.bin", content, "docs/2024");
  ASSERT_TRUE(Dispatch(job)) << job.error_code;
  EXPECT_FALSE(job.quick_upload);
  EXPECT_FALSE(job.fields.pickCode.empty());
  EXPECT_EQ(job.folder_targets.size(), 1u);  // the remote folder made for docs/2024

  // A resumed upload asks where to start.
  std::string url, answer;
  ASSERT_TRUE(BuildCheckUrl(job, &url));
  ASSERT_TRUE(client_.Get(url, &answer));
  ASSERT_TRUE(ParseCheckResponse(job, answer)) << answer;
  EXPECT_EQ(job.transfer.offset, 0);

  ASSERT_TRUE(SendRanges(job));
  EXPECT_EQ(job.transfer.offset, job.fields.fileSize);
  EXPECT_EQ(job.bytes_sent.load(), job.fields.fileSize);

  const Json::Value files = ExportedFiles();
  ASSERT_EQ(files.size(), 1u) << files;
  EXPECT_EQ(files[0]["path"].asString(), "docs/2024/two ranges and a bit.bin");
  EXPECT_EQ(files[0]["size"].asInt64(), job.fields.fileSize);
  EXPECT_EQ(files[0]["sha1"].asString(), job.fields.fileId);
  EXPECT_EQ(files[0]["pickcode"].asString(), job.fields.pickCode);

  // The same content again is complete at once.
  MemoryJob& again = NewJob("copy.bin", content);
  ASSERT_TRUE(Dispatch(again)) << again.error_code;
  EXPECT_TRUE(again.quick_upload);
  EXPECT_EQ(ExportedFiles().size(), 2u);
}

TEST_F(UploadServiceTest, KnownSampleAsksForTheWholeFileIdentity) {
  const std::string content = RandomContent(100000, 2);
  MemoryJob& first = NewJob("first.bin", content);
  ASSERT_TRUE(Dispatch(first));
  ASSERT_TRUE(SendRanges(first));

  MemoryJob& second = NewJob("second.bin", content);
  const std::string file_id = second.fields.fileId;
  second.fields.fileId.clear();  // only the sample identity is known yet
  EXPECT_FALSE(Dispatch(second));
  EXPECT_EQ(second.error_code, 300);
  second.error_code = 0;
  second.fields.fileId = file_id;
  ASSERT_TRUE(Dispatch(second)) << second.error_code;
  EXPECT_TRUE(second.quick_upload);
}

TEST_F(UploadServiceTest, ContentThatDiffersFromItsIdentityIsRefused) {
  std::string content = RandomContent(kMaxRangeBytes + 500, 3);
  MemoryJob& job = NewJob("tampered.bin", content);
  ASSERT_TRUE(Dispatch(job));
  // The file changes after its identity was taken: each range is consistent
  // with its own hash, the whole is not the announced file.
  content[7] ^= 0x55;
  std::FILE* out = std::fopen(job.fields.filePath.c_str(), "r+b");
  ASSERT_NE(out, nullptr);
  std::fwrite(content.data(), 1, 16, out);
  std::fclose(out);

  std::string url, answer;
  ASSERT_TRUE(BuildBigUploadUrl(job, &url));
  bool fatal = false;
  job.transfer.chunkLength = kMaxRangeBytes;
  ASSERT_TRUE(PostChunk(client_, kChunkBoundary, job, url, &answer, &fatal, nullptr));
  ASSERT_TRUE(ParseBigUploadResponse(job, answer));
  job.transfer.chunkLength = kMaxRangeBytes;
  ASSERT_TRUE(PostChunk(client_, kChunkBoundary, job, url, &answer, &fatal, nullptr));
  EXPECT_FALSE(ParseBigUploadResponse(job, answer));
  EXPECT_EQ(job.error_code, 405);
  EXPECT_EQ(ExportedFiles().size(), 0u);
}

}  // namespace
}  // namespace vexa
