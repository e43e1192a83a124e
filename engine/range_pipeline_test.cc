// The transfer worker's ranges on a connection the service keeps open: sent
// behind each other, and how the worker recovers when the service's answers
// or the connection let it down.

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/transfer_test_support.h"
#include "net/testing/keepalive_relay.h"
#include "port/clock.h"

namespace vexa {
namespace {

std::string CtRange(const std::string& request) {
  return RequestRecorder::Between(request, "name=\"ctrange\"\r\n\r\n", "\r\n");
}

std::string MiBRange(int from, int to) {
  return std::to_string(from * kMiB) + "-" + std::to_string(to * kMiB);
}

// Rewrites the offset of a range answer (and its length header).
void SetAnswerOffset(std::string* answer, int64_t offset) {
  const size_t body_at = answer->find("\r\n\r\n") + 4;
  std::string body = answer->substr(body_at);
  const size_t at = body.find("\"offset\":") + 9;
  const size_t end = body.find_first_not_of("0123456789", at);
  body.replace(at, end - at, std::to_string(offset));
  std::string head = answer->substr(0, body_at);
  const size_t cl = head.find("Content-Length: ") + 16;
  head.replace(cl, head.find("\r\n", cl) - cl, std::to_string(body.size()));
  *answer = head + body;
}

class RangePipelineTest : public TransferServiceTest {
 protected:
  // The service behind a relay that keeps the client's connections open;
  // every request of the client goes through it.
  void StartBehindRelay(KeepAliveRelay::Hook hook) {
    relay_ = std::make_unique<KeepAliveRelay>(std::move(hook));
    ASSERT_NE(relay_->port(), 0);
    const std::string front = "http://127.0.0.1:" + std::to_string(relay_->port());
    std::filesystem::create_directories(dir_.File("server"));
    ASSERT_TRUE(server_.Start({"--public-url", front}));
    relay_->SetUpstream(static_cast<uint16_t>(server_.port()));
    SetAccountApiBase(front);
    const int before = observer_.logins();
    ASSERT_TRUE(StartLogin("alice", "alice-pw", false, false));
    ASSERT_TRUE(observer_.WaitForLogins(before + 1));
    ASSERT_TRUE(IsLoggedIn()) << GetLastErrorText();
    account_ = "alice";
    StartEngine(log_.Callback(), 1);
  }
  void TearDown() override {
    TransferServiceTest::TearDown();
    relay_.reset();
  }

  // The relayed range requests, in order.
  std::vector<KeepAliveRelay::Record> RangeRecords() const {
    std::vector<KeepAliveRelay::Record> out;
    for (const KeepAliveRelay::Record& r : relay_->records()) {
      if (r.line.find("/bigupload") != std::string::npos) out.push_back(r);
    }
    return out;
  }

  // The upload ended complete, with the content the service holds, and no
  // progress notice ever showed more than the file.
  void ExpectCompleted(const std::string& path, const std::string& name,
                       const std::string& content) {
    const TaskNotice end = WaitEnd(path);
    ASSERT_EQ(end.status, static_cast<int32_t>(TaskStatus::Completed)) << end.errorCode;
    EXPECT_EQ(end.doneSize, static_cast<int64_t>(content.size()));
    for (const TaskNotice& n : log_.notices())
      EXPECT_LE(n.doneSize, static_cast<int64_t>(content.size()));
    EXPECT_EQ(ExportedFiles()[name]["sha1"].asString(), Sha1Of(content));
  }

  std::unique_ptr<KeepAliveRelay> relay_;
};

TEST_F(RangePipelineTest, RangesGoBehindEachOtherOnTheConnectionOfTheDispatch) {
  StartBehindRelay(nullptr);
  relay_->AwaitNextRange(20000, 5);
  const std::string content = RandomContent(5 * kMiB, 31);
  const std::string path = MakeFile("piped.bin", content);
  ASSERT_TRUE(Add(path));
  ExpectCompleted(path, "piped.bin", content);

  const std::vector<KeepAliveRelay::Record> ranges = RangeRecords();
  ASSERT_EQ(ranges.size(), 5u);
  // The first range went behind the check, each range since behind the one
  // before; the last has none behind.
  const std::vector<bool> behind = {true, true, true, true, false};
  for (size_t i = 0; i < ranges.size(); ++i) {
    EXPECT_EQ(ranges[i].overlapped, behind[i]) << i;
    EXPECT_EQ(ranges[i].connection, ranges[0].connection) << i;
  }
  EXPECT_EQ(recorder_.Ranges(),
            (std::vector<std::string>{MiBRange(0, 1), MiBRange(1, 2), MiBRange(2, 3),
                                      MiBRange(3, 4), MiBRange(4, 5)}));
  // The space query, the dispatch, the check and the ranges share one connection.
  int space_connection = 0, dispatch_connection = 0;
  std::optional<KeepAliveRelay::Record> check;
  for (const KeepAliveRelay::Record& r : relay_->records()) {
    if (r.line.find("/app/user/space") != std::string::npos) space_connection = r.connection;
    if (r.line.find("/app/upload") != std::string::npos) dispatch_connection = r.connection;
    if (r.line.find("/2.0/check") != std::string::npos) check = r;
  }
  EXPECT_EQ(space_connection, ranges[0].connection);
  EXPECT_EQ(dispatch_connection, ranges[0].connection);
  ASSERT_TRUE(check.has_value());
  EXPECT_EQ(check->connection, ranges[0].connection);
  EXPECT_TRUE(check->overlapped) << "the first range waits for the check's answer";
}

// What the service's answers or the connection do to the second range of a
// 5 MiB file while the third is on its way behind it.
struct PipelineFault {
  const char* name;
  std::function<KeepAliveRelay::Verdict(std::string*)> fault;
  std::vector<std::string> ranges;  // as the client sends them
  bool one_at_a_time_after = true;  // no range goes behind another after the fault
};

std::vector<PipelineFault> PipelineFaults() {
  auto offset_answer = [](int64_t offset) {
    return [offset](std::string* answer) {
      SetAnswerOffset(answer, offset);
      return KeepAliveRelay::Verdict::kAnswer;
    };
  };
  return {
      // The range behind is answered but counts for nothing; the service,
      // holding three MiB, acknowledges the range sent again below its offset.
      {"OffsetAtTheRangeStart",
       offset_answer(static_cast<int64_t>(kMiB)),
       {MiBRange(0, 1), MiBRange(1, 2), MiBRange(2, 3), MiBRange(1, 2), MiBRange(3, 4),
        MiBRange(4, 5)}},
      {"OffsetBackToZero",
       offset_answer(0),
       {MiBRange(0, 1), MiBRange(1, 2), MiBRange(2, 3), MiBRange(0, 1), MiBRange(3, 4),
        MiBRange(4, 5)}},
      // No answer at all: the range is sent again on a new connection from the
      // offset acknowledged last.
      {"ConnectionClosed",
       [](std::string*) { return KeepAliveRelay::Verdict::kCloseInstead; },
       {MiBRange(0, 1), MiBRange(1, 2), MiBRange(2, 3), MiBRange(1, 2), MiBRange(2, 3),
        MiBRange(3, 4), MiBRange(4, 5)}},
      // A service that ends the connection after an answer (its limit of
      // requests) breaks nothing: the range behind goes again on a new one,
      // and ranges go behind each other again there.
      {"ClosedAfterTheAnswer",
       [](std::string* answer) {
         answer->insert(answer->find("\r\n") + 2, "Connection: close\r\n");
         return KeepAliveRelay::Verdict::kAnswerAndClose;
       },
       {MiBRange(0, 1), MiBRange(1, 2), MiBRange(2, 3), MiBRange(2, 3), MiBRange(3, 4),
        MiBRange(4, 5)},
       false},
  };
}

class RangePipelineFaultTest : public RangePipelineTest,
                               public ::testing::WithParamInterface<size_t> {};

TEST_P(RangePipelineFaultTest, GoesOnFromTheServiceOffsetOneRangeAtATime) {
  const PipelineFault c = PipelineFaults()[GetParam()];
  auto done = std::make_shared<std::atomic<bool>>(false);
  StartBehindRelay([done, fault = c.fault](const std::string& request, std::string* answer) {
    if (CtRange(request) != MiBRange(1, 2) || done->exchange(true))
      return KeepAliveRelay::Verdict::kAnswer;
    return fault(answer);
  });
  relay_->AwaitNextRange(20000, 3);
  const std::string content = RandomContent(5 * kMiB, 40 + static_cast<unsigned>(GetParam()));
  const std::string path = MakeFile("fault.bin", content);
  ASSERT_TRUE(Add(path));
  ExpectCompleted(path, "fault.bin", content);
  EXPECT_EQ(recorder_.Ranges(), c.ranges);
  // Once the service's order or the connection failed, no range goes before
  // the one ahead is answered.
  const std::vector<KeepAliveRelay::Record> ranges = RangeRecords();
  ASSERT_GE(ranges.size(), 5u);
  EXPECT_TRUE(ranges[1].overlapped);
  if (c.one_at_a_time_after) {
    for (size_t k = 2; k < ranges.size(); ++k) EXPECT_FALSE(ranges[k].overlapped) << k;
  } else {
    EXPECT_NE(ranges.back().connection, ranges.front().connection);
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, RangePipelineFaultTest,
                         ::testing::Range<size_t>(0, PipelineFaults().size()),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                           return std::string(PipelineFaults()[info.param].name);
                         });

TEST_F(RangePipelineTest, AStopWithARangeBehindKeepsOnlyWhatTheServiceAnswered) {
  auto release = std::make_shared<std::atomic<bool>>(false);
  StartBehindRelay([release](const std::string& request, std::string*) {
    // The answer to the third range waits for the stop.
    if (CtRange(request) == MiBRange(2, 3)) {
      for (int i = 0; i < 2000 && !release->load(); ++i) port::SleepMs(10);
    }
    return KeepAliveRelay::Verdict::kAnswer;
  });
  const std::string content = RandomContent(6 * kMiB, 50);
  const std::string path = MakeFile("stopped.bin", content);
  ASSERT_TRUE(Add(path));
  // The fourth range went behind the third, whose answer is held.
  ASSERT_TRUE(Eventually([&] { return recorder_.Ranges().size() == 4; }));
  ASSERT_TRUE(ChangeTaskState(path, true, TaskStatus::Stopped));
  ASSERT_TRUE(WaitIdle());
  release->store(true);
  // What was sent of the ranges in flight is not kept as uploaded.
  ResumeRecord record;
  ASSERT_TRUE(ReadResumeRecord(path, &record));
  EXPECT_EQ(record.uploadedSize, static_cast<int64_t>(2 * kMiB));

  log_.clear();
  ASSERT_TRUE(Add(path));
  ExpectCompleted(path, "stopped.bin", content);
  // The resumed upload sent the range at the record's offset behind the
  // check; the service, further on (the range behind the held one may have
  // reached it), acknowledged it without taking it, and the upload went on
  // from the service's offset.
  const std::vector<std::string> ranges = recorder_.Ranges();
  ASSERT_GE(ranges.size(), 7u);
  EXPECT_EQ(ranges[4], MiBRange(2, 3));
  const std::vector<std::string> rest(ranges.begin() + 5, ranges.end());
  EXPECT_TRUE(rest == (std::vector<std::string>{MiBRange(3, 4), MiBRange(4, 5), MiBRange(5, 6)}) ||
              rest == (std::vector<std::string>{MiBRange(4, 5), MiBRange(5, 6)}))
      << testing::PrintToString(ranges);
}

}  // namespace
}  // namespace vexa
