#include "protocol/chunk_post.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "account/test_data_dir.h"
#include "codec/sha1.h"
#include "gtest/gtest.h"
#include "net/testing/scripted_peer.h"
#include "port/clock.h"
#include "port/file.h"
#include "protocol/testing/memory_job.h"

namespace vexa {
namespace {

using Connection = ScriptedPeer::Connection;

constexpr char kOkAnswer[] =
    "HTTP/1.1 200 OK\r\nContent-Length: 28\r\n\r\n{\"statuscode\":0,\"offset\":10}";

// Records the length of every send the sockets make.
class SendRecorder : public port::SocketApiWrapper {
 public:
  SendRecorder() : SocketApiWrapper(port::DefaultSocketApi()) {}
  long Send(port::SocketHandle s, const void* data, size_t length) override {
    long n = target()->Send(s, data, length);
    std::lock_guard<std::mutex> l(mu_);
    if (n > 0) sends_.push_back(n);
    return n;
  }
  std::vector<long> sends() {
    std::lock_guard<std::mutex> l(mu_);
    return sends_;
  }

 private:
  std::mutex mu_;
  std::vector<long> sends_;
};

// Reads one whole request (up to the closing boundary), then answers.
ScriptedPeer::Script Answer(std::vector<std::string> pieces) {
  return [pieces](Connection& c) {
    c.ReadUntil("vexaupload--");
    for (const std::string& p : pieces) {
      c.Write(p);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    c.WaitForClientClose(10000);  // a kept-alive connection: the answer must end by its framing
  };
}

std::string Sha1Of(const std::string& data) {
  std::string hex;
  Sha1Hex(data.data(), data.size(), &hex);
  return hex;
}

class ChunkPostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    client_.useSystemProxy = false;
    client_.connectTimeoutMs = 2000;
    client_.idleTimeoutMs = 20000;  // a hang shows as slowness, not as a time-out
    client_.socketApi = &recorder_;
  }
  void TearDown() override {
    if (job_.transfer.file != nullptr) std::fclose(job_.transfer.file);
  }

  // Gives the job a file with `content` and the range offset/length.
  void UseFile(const std::string& content, int64_t offset, int64_t length) {
    const std::string path = dir_.File("f.bin");
    WriteWholeFile(path, content);
    job_.transfer.file = port::OpenFileShared(path, "rb");
    ASSERT_NE(job_.transfer.file, nullptr);
    job_.fields.fileSize = static_cast<int64_t>(content.size());
    job_.fields.fileId = Sha1Of(content);
    job_.fields.quickId = job_.fields.fileId;
    job_.fields.pickCode = "pk9";
    job_.transfer.offset = offset;
    job_.transfer.chunkLength = length;
  }

  std::string Url(const ScriptedPeer& peer) const {
    return "http://127.0.0.1:" + std::to_string(peer.port()) +
           "/upload/2.0/bigupload?appid=0&sig=AB";
  }

  bool Post(const ScriptedPeer& peer, std::string* answer, bool* fatal) {
    return PostChunk(client_, kChunkBoundary, job_, Url(peer), answer, fatal, &counts_);
  }

  // The request as the service must receive it, written out by hand.
  static std::string ExpectedRequest(const std::string& data, const std::string& ctrange,
                                     const std::string& file_id) {
    const std::string b = "-----------------------vexaupload";
    std::string multipart;
    for (const auto& [name, value] :
         std::vector<std::pair<std::string, std::string>>{{"fileid", file_id},
                                                          {"quickid", file_id},
                                                          {"ctrange", ctrange},
                                                          {"cthash", Sha1Of(data)}}) {
      multipart += "--" + b + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" +
                   value + "\r\n";
    }
    multipart += "--" + b +
                 "\r\nContent-Disposition: form-data; name=\"uploadfile\"; filename=\"pk9\"\r\n"
                 "Content-Type: application/octet-stream\r\n\r\n";
    const std::string tail = "\r\n--" + b + "--";
    return "POST /upload/2.0/bigupload?appid=0&sig=AB HTTP/1.1\r\nConnection: Keep-Alive\r\n"
           "Host: 127.0.0.1\r\nAccept: */*\r\nContent-Length: " +
           std::to_string(multipart.size() + data.size() + tail.size()) +
           "\r\nContent-Type: multipart/form-data; boundary=" + b +
           "\r\nUser-Agent: vexaupload\r\n\r\n" + multipart + data + tail;
  }

  TestDataDir dir_;
  SendRecorder recorder_;
  HttpClient client_;
  MemoryJob job_;
  ChunkCounts counts_;
};

TEST_F(ChunkPostTest, SendsATenByteFileExactly) {
  ScriptedPeer peer(Answer({kOkAnswer}));
  UseFile("0123456789", 0, 10);
  std::string answer;
  bool fatal = false;
  ASSERT_TRUE(Post(peer, &answer, &fatal));
  EXPECT_EQ(answer, "{\"statuscode\":0,\"offset\":10}");
  EXPECT_EQ(Sha1Of("0123456789"), "87ACEC17CD9DCD20A716CC2CF67417B71C8A7016");
  EXPECT_EQ(peer.received(), ExpectedRequest("0123456789", "0-10", job_.fields.fileId));
  EXPECT_EQ(job_.uploaded_size.load(), 10);
  EXPECT_EQ(job_.bytes_sent.load(), 10);
  EXPECT_EQ(counts_.taskBytes, 10);
}

TEST_F(ChunkPostTest, ShortensTheLastRangeToTheFileEnd) {
  std::string content(kMaxRangeBytes + 5, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 131 + 7);
  ScriptedPeer peer(Answer({kOkAnswer}));
  UseFile(content, kMaxRangeBytes, kMaxRangeBytes);
  std::string answer;
  bool fatal = false;
  ASSERT_TRUE(Post(peer, &answer, &fatal));
  EXPECT_EQ(job_.transfer.chunkLength, 5);
  EXPECT_EQ(peer.received(),
            ExpectedRequest(content.substr(kMaxRangeBytes), "1048576-1048581", job_.fields.fileId));
}

TEST_F(ChunkPostTest, SendsDataInPiecesOfAtMost8096Bytes) {
  for (int64_t size : {int64_t{8096}, int64_t{8097}, int64_t{20000}}) {
    SCOPED_TRACE(size);
    SendRecorder recorder;
    client_.socketApi = &recorder;
    const std::string content(static_cast<size_t>(size), 'x');
    ScriptedPeer peer(Answer({kOkAnswer}));
    UseFile(content, 0, kMaxRangeBytes);
    std::string answer;
    bool fatal = false;
    ASSERT_TRUE(Post(peer, &answer, &fatal));
    EXPECT_EQ(peer.received(),
              ExpectedRequest(content, "0-" + std::to_string(size), job_.fields.fileId));
    std::vector<long> sends = recorder.sends();
    ASSERT_GE(sends.size(), 3u);
    // The head (request and multipart head), the pieces, the tail.
    std::vector<long> pieces(sends.begin() + 1, sends.end() - 1);
    std::vector<long> want;
    for (int64_t left = size; left > 0; left -= 8096) {
      want.push_back(static_cast<long>(std::min<int64_t>(left, 8096)));
    }
    EXPECT_EQ(pieces, want);
    std::fclose(job_.transfer.file);
    job_.transfer.file = nullptr;
  }
}

TEST_F(ChunkPostTest, AnswerEndsByItsFramingWhateverThePackets) {
  const std::string body = "{\"statuscode\":0,\"offset\":10}";
  const std::vector<std::vector<std::string>> answers = {
      {"HTTP/1.1 200 OK\r\nContent-Len", "gth: 28\r\n\r\n{\"statuscode\":0,", "\"offset\":10}"},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
       "10\r\n{\"statuscode\":0,\r\nc\r\n\"offset\":10}\r\n",
       "0\r\n\r\n"},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1c\r\n" + body + "\r\n0\r\n\r\n"},
  };
  for (const auto& pieces : answers) {
    SCOPED_TRACE(pieces[0]);
    ScriptedPeer peer(Answer(pieces));
    UseFile("0123456789", 0, 10);
    std::string answer;
    bool fatal = false;
    const uint64_t start = port::MonotonicMillis();
    ASSERT_TRUE(Post(peer, &answer, &fatal));
    EXPECT_LT(port::MonotonicMillis() - start, 5000u);  // did not wait for a close
    EXPECT_EQ(answer, body);
    std::fclose(job_.transfer.file);
    job_.transfer.file = nullptr;
  }
}

TEST_F(ChunkPostTest, RefusedAnswersAreFatal) {
  for (const char* a : {"HTTP/1.1 500 Internal Server Error\r\nContent-Length: 2\r\n\r\n{}",
                        "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n", "garbage\r\n\r\n"}) {
    SCOPED_TRACE(a);
    ScriptedPeer peer([a](Connection& c) {
      c.ReadUntil("vexaupload--");
      c.Write(a);
    });
    UseFile("0123456789", 0, 10);
    std::string answer;
    bool fatal = false;
    EXPECT_FALSE(Post(peer, &answer, &fatal));
    EXPECT_TRUE(fatal);
    std::fclose(job_.transfer.file);
    job_.transfer.file = nullptr;
  }
}

TEST_F(ChunkPostTest, SilentServerIsFatalAfterTheIdleTimeOut) {
  ScriptedPeer peer([](Connection& c) {
    c.ReadUntil("vexaupload--");
    c.WaitForClientClose(10000);
  });
  client_.idleTimeoutMs = 300;
  UseFile("0123456789", 0, 10);
  std::string answer;
  bool fatal = false;
  EXPECT_FALSE(Post(peer, &answer, &fatal));
  EXPECT_TRUE(fatal);
}

TEST_F(ChunkPostTest, BrokenConnectionsAreWorthARetry) {
  std::string content(kMaxRangeBytes, 'y');
  std::string answer;
  bool fatal = true;
  {
    std::unique_ptr<ScriptedPeer> gone = std::make_unique<ScriptedPeer>([](Connection&) {});
    const std::string url = Url(*gone);
    gone.reset();  // nothing listens there any more
    UseFile(content, 0, kMaxRangeBytes);
    EXPECT_FALSE(PostChunk(client_, kChunkBoundary, job_, url, &answer, &fatal, &counts_));
    EXPECT_FALSE(fatal);
    EXPECT_EQ(counts_.taskBytes, 0);
  }
  // The peer drops the connection while the data is on its way.
  ScriptedPeer peer([](Connection& c) { c.ReadAtLeast(20000); });
  job_.transfer.offset = 0;
  fatal = true;
  EXPECT_FALSE(Post(peer, &answer, &fatal));
  EXPECT_FALSE(fatal);
  EXPECT_EQ(job_.uploaded_size.load(), counts_.taskBytes);

  // The whole request arrived, but the connection closed before any answer:
  // from the client's side the same as a break during the data.
  ScriptedPeer closer([](Connection& c) { c.ReadUntil("vexaupload--"); });
  job_.transfer.offset = 0;
  fatal = true;
  EXPECT_FALSE(Post(closer, &answer, &fatal));
  EXPECT_FALSE(fatal);
  EXPECT_EQ(counts_.taskBytes, kMaxRangeBytes);
}

TEST_F(ChunkPostTest, UnreadableRangesAreFatalWithoutAConnection) {
  ScriptedPeer peer(Answer({kOkAnswer}));
  std::string answer;
  bool fatal = false;
  job_.has_transfer = false;
  EXPECT_FALSE(Post(peer, &answer, &fatal));
  EXPECT_TRUE(fatal);
  job_.has_transfer = true;
  EXPECT_FALSE(Post(peer, &answer, &fatal));  // no open file
  EXPECT_TRUE(fatal);
  UseFile("0123456789", 10, 10);  // nothing left at the offset
  EXPECT_FALSE(Post(peer, &answer, &fatal));
  EXPECT_TRUE(fatal);
  // The file shrank after its size was taken: a short read is not sent.
  job_.fields.fileSize = 20;
  job_.transfer.offset = 5;
  EXPECT_FALSE(Post(peer, &answer, &fatal));
  EXPECT_TRUE(fatal);
  EXPECT_EQ(peer.connections(), 0);
}

TEST_F(ChunkPostTest, StopEndsTheRangePromptly) {
  std::string content(kMaxRangeBytes, 'z');
  for (bool while_sending : {true, false}) {
    SCOPED_TRACE(while_sending ? "while sending" : "while awaiting the answer");
    std::atomic<bool> ready{false};
    // Either takes a little and stops reading, or takes everything and never answers.
    ScriptedPeer peer([&](Connection& c) {
      if (while_sending) {
        c.ReadAtLeast(1000);
      } else {
        c.ReadUntil("vexaupload--");
      }
      ready = true;
      c.WaitForClientClose(30000);
    });
    UseFile(content, 0, kMaxRangeBytes);
    job_.state = JobState::kUploading;
    std::thread stopper([&] {
      while (!ready) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      job_.state = JobState::kOther;
    });
    std::string answer;
    bool fatal = false;
    const uint64_t start = port::MonotonicMillis();
    EXPECT_FALSE(Post(peer, &answer, &fatal));
    EXPECT_LT(port::MonotonicMillis() - start, 10000u);  // the idle time-out is 20 s
    EXPECT_TRUE(fatal);
    stopper.join();
    std::fclose(job_.transfer.file);
    job_.transfer.file = nullptr;
  }
}

TEST_F(ChunkPostTest, FolderBytesNeverPassTheFolderTotal) {
  job_.folder = std::make_shared<MemoryFolder>(15);
  job_.folder->UpdateBytes(
      [](FolderBytes* b) { b->uploadedSize = 10; });  // counted by a failed attempt
  ScriptedPeer peer(Answer({kOkAnswer, kOkAnswer}));
  UseFile("0123456789", 0, 10);
  std::string answer;
  bool fatal = false;
  ASSERT_TRUE(Post(peer, &answer, &fatal));
  const FolderBytes b = job_.folder->bytes();
  EXPECT_EQ(b.uploadedSize, 15);
  EXPECT_EQ(b.sentSinceStart, 10);
  EXPECT_EQ(counts_.taskBytes, 10);
  EXPECT_EQ(counts_.folderBytes, 5);  // what a rollback takes back out
}

}  // namespace
}  // namespace vexa
