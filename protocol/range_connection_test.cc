#include "protocol/range_connection.h"

#include <cstdio>
#include <string>
#include <vector>

#include "account/test_data_dir.h"
#include "codec/sha1.h"
#include "gtest/gtest.h"
#include "net/connection_cache.h"
#include "net/testing/scripted_peer.h"
#include "port/file.h"
#include "protocol/testing/memory_job.h"

namespace vexa {
namespace {

using PeerConnection = ScriptedPeer::Connection;

std::string RangeAnswer(int64_t offset) {
  const std::string body = "{\"statuscode\":0,\"offset\":" + std::to_string(offset) + "}";
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// Waits until the connection has received `n` whole range requests.
bool ReadRanges(PeerConnection& c, size_t n) {
  for (;;) {
    size_t seen = 0;
    for (size_t at = c.received().find("vexaupload--"); at != std::string::npos;
         at = c.received().find("vexaupload--", at + 1)) {
      ++seen;
    }
    if (seen >= n) return true;
    if (!c.ReadAtLeast(c.received().size() + 1, 10000)) return false;
  }
}

class RangeConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    client_.useSystemProxy = false;
    client_.connectTimeoutMs = 2000;
    client_.idleTimeoutMs = 20000;
    client_.connections = &cache_;
    content_.resize(3000);
    for (size_t i = 0; i < content_.size(); ++i) content_[i] = static_cast<char>(i * 7 + 1);
    const std::string path = dir_.File("r.bin");
    WriteWholeFile(path, content_);
    job_.transfer.file = port::OpenFileShared(path, "rb");
    ASSERT_NE(job_.transfer.file, nullptr);
    job_.fields.fileSize = static_cast<int64_t>(content_.size());
    job_.fields.fileId = "F";
    job_.fields.quickId = "Q";
    job_.fields.pickCode = "pk";
  }
  void TearDown() override {
    cache_.Clear();
    std::fclose(job_.transfer.file);
  }

  std::string Url(const ScriptedPeer& peer) const {
    return "http://127.0.0.1:" + std::to_string(peer.port()) + "/upload/2.0/bigupload?x=1";
  }
  // The ranges of 1000 bytes at 0, 1000 and 2000.
  std::vector<PreparedRange> Ranges(const ScriptedPeer& peer) {
    std::vector<PreparedRange> out(3);
    for (size_t i = 0; i < out.size(); ++i) {
      EXPECT_TRUE(PrepareRange(client_, kChunkBoundary, job_, Url(peer),
                               static_cast<int64_t>(i) * 1000, 1000, &out[i]));
    }
    return out;
  }
  static std::string Wire(const PreparedRange& r) {
    return r.head + std::string(r.data.get(), static_cast<size_t>(r.length)) + r.tail;
  }

  TestDataDir dir_;
  ConnectionCache cache_;
  HttpClient client_;
  MemoryJob job_;
  std::string content_;
};

TEST_F(RangeConnectionTest, ARangeGoesBehindAnotherOnTheKeptConnectionAndTheAnswersComeInOrder) {
  ScriptedPeer peer([](PeerConnection& c) {
    if (!ReadRanges(c, 1) || !c.Write(RangeAnswer(1000))) return;
    // Both answers in one write: the first must not swallow the second.
    if (!ReadRanges(c, 3) || !c.Write(RangeAnswer(2000) + RangeAnswer(3000))) return;
    c.WaitForClientClose(10000);
  });
  std::vector<PreparedRange> ranges = Ranges(peer);
  std::string answer;
  bool fatal = false;
  ChunkCounts counts;
  {
    RangeConnection link(client_, job_, Url(peer));
    ASSERT_TRUE(link.Send(ranges[0], &fatal));
    EXPECT_FALSE(link.kept());
    ASSERT_TRUE(link.ReadAnswer(&answer, &fatal, &counts));
    EXPECT_EQ(answer, "{\"statuscode\":0,\"offset\":1000}");
    EXPECT_TRUE(link.kept());
    ASSERT_TRUE(link.Send(ranges[1], &fatal));
    ASSERT_TRUE(link.Send(ranges[2], &fatal));
    EXPECT_EQ(link.in_flight(), 2u);
    ASSERT_TRUE(link.ReadAnswer(&answer, &fatal, &counts));
    EXPECT_EQ(answer, "{\"statuscode\":0,\"offset\":2000}");
    EXPECT_EQ(counts.taskBytes, 1000);
    ASSERT_TRUE(link.ReadAnswer(&answer, &fatal, &counts));
    EXPECT_EQ(answer, "{\"statuscode\":0,\"offset\":3000}");
  }
  EXPECT_EQ(peer.connections(), 1);
  EXPECT_EQ(peer.received(), Wire(ranges[0]) + Wire(ranges[1]) + Wire(ranges[2]));
  EXPECT_EQ(job_.uploaded_size.load(), 3000);
  // Nothing in flight at the end: the connection waits for the next upload.
  EXPECT_EQ(cache_.size(), 1u);
}

TEST_F(RangeConnectionTest, AKeptConnectionClosedUnderTheFirstRangeSendsItOnceMoreOnANewOne) {
  // Each connection answers one range and closes on the next without a word.
  ScriptedPeer peer([](PeerConnection& c) {
    if (ReadRanges(c, 1)) c.Write(RangeAnswer(1000));
    ReadRanges(c, 2);
  });
  std::vector<PreparedRange> ranges = Ranges(peer);
  std::string answer;
  bool fatal = false;
  ChunkCounts counts;
  {
    RangeConnection link(client_, job_, Url(peer));
    ASSERT_TRUE(link.Send(ranges[0], &fatal) && link.ReadAnswer(&answer, &fatal, &counts));
  }
  ASSERT_EQ(cache_.size(), 1u);
  RangeConnection link(client_, job_, Url(peer));
  ASSERT_TRUE(link.Send(ranges[1], &fatal));
  ASSERT_TRUE(link.ReadAnswer(&answer, &fatal, &counts));
  EXPECT_EQ(answer, "{\"statuscode\":0,\"offset\":1000}");
  EXPECT_EQ(peer.connections(), 2);
  // The range counts once, though it went twice.
  EXPECT_EQ(counts.taskBytes, 1000);
  EXPECT_EQ(job_.uploaded_size.load(), 2000);
  EXPECT_EQ(peer.received(), Wire(ranges[0]) + Wire(ranges[1]) + Wire(ranges[1]));
}

TEST_F(RangeConnectionTest, AStopEndsTheWaitForAPipelinedAnswerAndHandsBackBothRanges) {
  ScriptedPeer peer([](PeerConnection& c) {
    if (ReadRanges(c, 1)) c.Write(RangeAnswer(1000));
    c.WaitForClientClose(30000);  // the next answers never come
  });
  std::vector<PreparedRange> ranges = Ranges(peer);
  std::string answer;
  bool fatal = false;
  ChunkCounts counts;
  RangeConnection link(client_, job_, Url(peer));
  ASSERT_TRUE(link.Send(ranges[0], &fatal) && link.ReadAnswer(&answer, &fatal, &counts));
  ASSERT_TRUE(link.Send(ranges[1], &fatal) && link.Send(ranges[2], &fatal));
  int checks = 0;
  job_.on_state = [&] {
    if (++checks == 3) job_.state = JobState::kOther;
  };
  EXPECT_FALSE(link.ReadAnswer(&answer, &fatal, &counts));
  EXPECT_TRUE(fatal);
  ChunkCounts behind = link.Drop();
  TakeBackCounts(job_, counts);
  TakeBackCounts(job_, behind);
  EXPECT_EQ(job_.uploaded_size.load(), 1000);  // only the answered range
  EXPECT_EQ(job_.bytes_sent.load(), 1000);
  EXPECT_EQ(cache_.size(), 0u);  // a connection with answers pending is never kept
}

}  // namespace
}  // namespace vexa
