// The transfer worker against the real service, driven through the engine's
// public operations.

#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "engine/service_cancel.h"
#include "engine/transfer_test_support.h"
#include "port/clock.h"
#include "store/error_table.h"
#include "store/resume_store.h"

namespace vexa {
namespace {

using TransferWorkerTest = TransferServiceTest;

// How late the service answers the range a stop or cancel meets in flight.
// The request must end long before that answer, however slow the machine;
// had the stop not ended it, the worker would wait for the answer.
constexpr uint32_t kLateAnswerMs = 30000;

TEST_F(TransferWorkerTest, FilesOfEverySizeArriveWholeAndKnownContentIsQuick) {
  StartService();
  struct Case {
    std::string name;
    std::string content;
    std::vector<std::string> ranges;
  };
  std::vector<Case> cases = {
      {"one byte.bin", RandomContent(1, 1), {"0-1"}},
      {"one mib.bin", RandomContent(kMiB, 2), {"0-1048576"}},
      {"one mib and one.bin", RandomContent(kMiB + 1, 3), {"0-1048576", "1048576-1048577"}},
      {"five mib.bin",
       RandomContent(5 * kMiB, 4),
       {"0-1048576", "1048576-2097152", "2097152-3145728", "3145728-4194304", "4194304-5242880"}},
  };
  for (const Case& c : cases) ASSERT_TRUE(Add(MakeFile(c.name, c.content)));
  for (const Case& c : cases) {
    const TaskNotice end = WaitEnd(dir_.File(c.name));
    ASSERT_EQ(end.status, static_cast<int32_t>(TaskStatus::Completed))
        << c.name << " " << end.errorCode;
    EXPECT_EQ(end.doneSize, static_cast<int64_t>(c.content.size()));
    EXPECT_EQ(recorder_.Ranges(end.pickCode), c.ranges) << c.name;
  }
  ASSERT_TRUE(WaitIdle());
  for (const Case& c : cases) {
    ResumeRecord r;
    EXPECT_FALSE(ReadResumeRecord(dir_.File(c.name), &r)) << "a completed file keeps no record";
  }
  Json::Value files = ExportedFiles();
  ASSERT_EQ(files.size(), cases.size()) << files;
  for (const Case& c : cases) {
    EXPECT_EQ(files[c.name]["sha1"].asString(), Sha1Of(c.content)) << c.name;
    EXPECT_EQ(files[c.name]["size"].asUInt64(), c.content.size()) << c.name;
  }
  // The login asked for no pause between files; the worker keeps half a second.
  EXPECT_EQ(GetTimeLimit(), 0.5);

  // The same content under another name: the service holds it already.
  const size_t ranges_before = recorder_.Ranges().size();
  const std::string copy = MakeFile("copy.bin", cases[3].content);
  ASSERT_TRUE(Add(copy));
  const TaskNotice end = WaitEnd(copy);
  EXPECT_EQ(end.status, static_cast<int32_t>(TaskStatus::Completed));
  EXPECT_EQ(end.doneSize, static_cast<int64_t>(5 * kMiB));
  EXPECT_EQ(recorder_.Ranges().size(), ranges_before) << "a quick upload sends no range";
  files = ExportedFiles();
  EXPECT_EQ(files["copy.bin"]["sha1"].asString(), Sha1Of(cases[3].content));
}

TEST_F(TransferWorkerTest, EachSizeClassComputesTheIdentitiesItNeeds) {
  StartService({"--file-range", "0=0-1000", "--file-range", "1=1000-100000", "--file-range",
                "2=100000-0", "--type-limit", "iso"});
  const struct {
    std::string name;
    size_t size;
    bool file_id;
    bool quick_id;
  } cases[] = {
      {"class0.bin", 500, true, false},
      {"class1.bin", 50000, false, true},
      {"class2.bin", 200000, true, true},
      {"listed.iso", 500, true, true},
  };
  unsigned seed = 10;
  for (const auto& c : cases) {
    const std::string content = RandomContent(c.size, ++seed);
    ASSERT_TRUE(Add(MakeFile(c.name, content)));
    const TaskNotice end = WaitEnd(dir_.File(c.name));
    EXPECT_EQ(end.status, static_cast<int32_t>(TaskStatus::Completed))
        << c.name << " " << end.errorCode;
    const std::vector<std::string> dispatches = recorder_.Requests("/app/upload");
    ASSERT_FALSE(dispatches.empty());
    const std::string& d = dispatches.back();
    EXPECT_EQ(RequestRecorder::FormValue(d, "fileid"), c.file_id ? Sha1Of(content) : "") << c.name;
    EXPECT_EQ(RequestRecorder::FormValue(d, "quickid").empty(), !c.quick_id) << c.name;
    EXPECT_EQ(ExportedFiles()[c.name]["sha1"].asString(), Sha1Of(content)) << c.name;
  }
}

TEST_F(TransferWorkerTest, AnswerThreeHundredGetsTheWholeFileIdentityOnce) {
  // Two answers of 300 for the first file, three for the second.
  StartService({"--faults", "dispatch:status=300*5"});
  const std::string content = RandomContent(2 * kMiB, 20);  // class 1: only the sample identity
  const std::string first = MakeFile("first.bin", content);
  ASSERT_TRUE(Add(first));
  TaskNotice end = WaitEnd(first);
  EXPECT_EQ(end.status, static_cast<int32_t>(TaskStatus::Failed));
  EXPECT_EQ(end.errorCode, 300) << "asked twice for the identity it was given";
  std::vector<std::string> d = recorder_.Requests("/app/upload");
  ASSERT_EQ(d.size(), 3u);
  EXPECT_EQ(RequestRecorder::FormValue(d[0], "fileid"), "");
  EXPECT_EQ(RequestRecorder::FormValue(d[1], "fileid"), Sha1Of(content));
  EXPECT_EQ(RequestRecorder::FormValue(d[2], "fileid"), Sha1Of(content));

  const std::string second = MakeFile("second.bin", RandomContent(2 * kMiB, 21));
  ASSERT_TRUE(Add(second));
  end = WaitEnd(second);
  EXPECT_EQ(end.status, static_cast<int32_t>(TaskStatus::Completed)) << end.errorCode;
  d = recorder_.Requests("/app/upload");
  ASSERT_EQ(d.size(), 6u);
  EXPECT_FALSE(RequestRecorder::FormValue(d[5], "fileid").empty());
}

// A host may end its session as soon as it hears of the completion (the CLI
// leaves when its last upload completes): by then the record must be gone, or
// the finished upload comes back as unfinished at the next login.
TEST_F(TransferWorkerTest, TheRecordIsGoneWhenTheCompletionIsReported) {
  StartService();
  StopEngine();
  std::mutex mu;
  std::vector<bool> record_at_completion;
  StartEngine(
      [&](TaskNotice n) {
        if (n.status == static_cast<int32_t>(TaskStatus::Completed)) {
          ResumeRecord r;
          const bool kept = ReadResumeRecord(n.path, &r);
          std::lock_guard<std::mutex> l(mu);
          record_at_completion.push_back(kept);
        }
        log_.Callback()(std::move(n));
      },
      1);
  const std::string path = MakeFile("reported.bin", RandomContent(2 * kMiB + 5, 40));
  ASSERT_TRUE(Add(path));
  ASSERT_EQ(WaitEnd(path).status, static_cast<int32_t>(TaskStatus::Completed));
  std::lock_guard<std::mutex> l(mu);
  EXPECT_EQ(record_at_completion, std::vector<bool>{false});
}

TEST_F(TransferWorkerTest, StopDuringARangeThenStartContinuesFromTheServiceOffset) {
  // The third range's answer is late, so the stop meets it in flight.
  StartService(
      {"--faults", "bigupload:delay=0*2,bigupload:delay=" + std::to_string(kLateAnswerMs) + "*1"});
  const std::string content = RandomContent(5 * kMiB + 77, 30);
  const std::string path = MakeFile("stopped.bin", content);
  ASSERT_TRUE(Add(path));
  // At least: the range behind the late one may follow it within a millisecond.
  ASSERT_TRUE(Eventually([&] { return recorder_.Ranges().size() >= 3; }));
  port::SleepMs(200);  // the range is on its way or waiting for the answer
  const uint64_t t0 = port::MonotonicMillis();
  ASSERT_TRUE(ChangeTaskState(path, true, TaskStatus::Stopped));
  ASSERT_TRUE(WaitIdle(2 * kLateAnswerMs));
  EXPECT_LT(port::MonotonicMillis() - t0, kLateAnswerMs / 2) << "a stop ends the waiting request";
  const TaskNotice stop = WaitEnd(path);
  EXPECT_EQ(stop.status, static_cast<int32_t>(TaskStatus::Stopped));
  ResumeRecord record;
  ASSERT_TRUE(ReadResumeRecord(path, &record));
  EXPECT_FALSE(record.pickCode.empty());
  EXPECT_EQ(record.fileSize, static_cast<int64_t>(content.size()));
  EXPECT_LE(record.uploadedSize, static_cast<int64_t>(3 * kMiB));

  log_.clear();
  const size_t sent_before = recorder_.Ranges(record.pickCode).size();
  ASSERT_TRUE(Add(path));
  const TaskNotice end = WaitEnd(path);
  ASSERT_EQ(end.status, static_cast<int32_t>(TaskStatus::Completed)) << end.errorCode;
  const std::vector<std::string> ranges = recorder_.Ranges(record.pickCode);
  ASSERT_GT(ranges.size(), sent_before);
  // The second start asked the service: it holds two ranges, or three when it
  // finished the late one after all; never nothing, never a partial range.
  const std::string resumed = ranges[sent_before];
  EXPECT_TRUE(resumed == "2097152-3145728" || resumed == "3145728-4194304") << resumed;
  EXPECT_EQ(ranges.back(), "5242880-5242957");
  EXPECT_EQ(recorder_.Requests("/2.0/check").size(), 2u);
  EXPECT_EQ(ExportedFiles()["stopped.bin"]["sha1"].asString(), Sha1Of(content));
}

// An edit between a stop and the next start that keeps the file's size: the
// service must end up with the new content, not old ranges followed by new
// ones, and must not keep the old half either.
TEST_F(TransferWorkerTest, AnEditBetweenStopAndStartIsUploadedAfresh) {
  StartService({"--faults", "bigupload:delay=0*2,bigupload:delay=8000*1"});
  std::string content = RandomContent(3 * kMiB, 80);
  const std::string path = MakeFile("edited.bin", content);
  ASSERT_TRUE(Add(path));
  const ResumeRecord before = StopAfterRanges(path, 2);

  // Bytes the sample identity does not cover, in the first and the last MiB.
  content.replace(100000, 5, "EDIT1");
  content.replace(3 * kMiB - 100000, 5, "EDIT2");
  WriteWholeFile(path, content);
  std::filesystem::last_write_time(
      path, std::filesystem::last_write_time(path) + std::chrono::seconds(5));
  log_.clear();
  ASSERT_TRUE(Add(path));
  const TaskNotice end = WaitEnd(path);
  ASSERT_EQ(end.status, static_cast<int32_t>(TaskStatus::Completed)) << end.errorCode;
  const Json::Value files = ExportedFiles();
  EXPECT_EQ(files.size(), 1u) << files;
  EXPECT_EQ(files["edited.bin"]["sha1"].asString(), Sha1Of(content));
  ASSERT_TRUE(WaitForServiceCancels(10000));
  const std::vector<std::string> cancels = recorder_.Requests("/app/cancel");
  ASSERT_EQ(cancels.size(), 1u) << "the old session is dropped at the service";
  EXPECT_EQ(RequestRecorder::FormValue(cancels[0], "pickcode"), before.pickCode);
}

// The service dropped the idle session the record names: the next start
// uploads anew instead of failing with 412 at every start.
TEST_F(TransferWorkerTest, ASessionTheServiceDroppedIsStartedAfresh) {
  StartService(
      {"--session-lifetime", "2", "--faults", "bigupload:delay=0*1,bigupload:delay=1000*1"});
  const std::string content = RandomContent(3 * kMiB, 81);
  const std::string path = MakeFile("expired.bin", content);
  ASSERT_TRUE(Add(path));
  StopAfterRanges(path, 1);
  port::SleepMs(4000);  // the service's idle limit passes
  log_.clear();
  ASSERT_TRUE(Add(path));
  const TaskNotice end = WaitEnd(path);
  ASSERT_EQ(end.status, static_cast<int32_t>(TaskStatus::Completed)) << end.errorCode;
  EXPECT_EQ(ExportedFiles()["expired.bin"]["sha1"].asString(), Sha1Of(content));
}

TEST_F(TransferWorkerTest, CancelInRangeSendsOneCancelRequest) {
  StartService({"--faults", "bigupload:delay=" + std::to_string(kLateAnswerMs) + "*1"});
  const std::string path = MakeFile("cancelled.bin", RandomContent(3 * kMiB, 40));
  ASSERT_TRUE(Add(path));
  ASSERT_TRUE(Eventually([&] { return recorder_.Ranges().size() >= 1; }));
  port::SleepMs(200);
  const uint64_t t0 = port::MonotonicMillis();
  ASSERT_TRUE(CancelTask(path));
  ASSERT_TRUE(WaitIdle(2 * kLateAnswerMs));
  EXPECT_LT(port::MonotonicMillis() - t0, kLateAnswerMs / 2) << "a cancel ends the waiting request";
  ASSERT_TRUE(WaitForServiceCancels(10000));
  const std::vector<std::string> cancels = recorder_.Requests("/app/cancel");
  ASSERT_EQ(cancels.size(), 1u);
  EXPECT_FALSE(RequestRecorder::FormValue(cancels[0], "pickcode").empty());
  ResumeRecord record;
  EXPECT_FALSE(ReadResumeRecord(path, &record));
  EXPECT_EQ(ExportedFiles().size(), 0u);
}

// A cancel of a stopped upload (no worker runs for it) still reaches the
// service, from the record's pick code: else the service keeps the session
// and its part file for a month. When the service cannot be reached the
// cancel is kept with the records and sent at the next start.
TEST_F(TransferWorkerTest, ACancelOfAStoppedUploadReachesTheServiceEvenAfterAFailure) {
  StartService({"--faults", "bigupload:delay=0*2,bigupload:delay=8000*1,cancel:fail*1"});
  const std::string path = MakeFile("stopped then cancelled.bin", RandomContent(3 * kMiB, 42));
  ASSERT_TRUE(Add(path));
  const ResumeRecord record = StopAfterRanges(path, 2);
  ASSERT_TRUE(CancelTask(path));
  ASSERT_TRUE(WaitForServiceCancels(10000));
  std::vector<std::string> cancels = recorder_.Requests("/app/cancel");
  ASSERT_EQ(cancels.size(), 1u);
  EXPECT_EQ(RequestRecorder::FormValue(cancels[0], "pickcode"), record.pickCode);
  EXPECT_EQ(PendingCancels().size(), 1u) << "the failed cancel is kept";

  StopEngine();
  StartEngine(log_.Callback(), 1);
  ASSERT_TRUE(WaitForServiceCancels(10000));
  cancels = recorder_.Requests("/app/cancel");
  ASSERT_EQ(cancels.size(), 2u) << "sent again at the next start";
  EXPECT_EQ(RequestRecorder::FormValue(cancels[1], "pickcode"), record.pickCode);
  EXPECT_TRUE(PendingCancels().empty());
  EXPECT_TRUE(std::filesystem::is_empty(dir_.File("server/content/partial")))
      << "the service dropped its part";
}

TEST_F(TransferWorkerTest, CancelBeforeTheDispatchSendsNothing) {
  StartService({"--time-limit", "5"});
  const std::string path = MakeFile("early.bin", RandomContent(1000, 41));
  TestClock().HoldSleeps(true);
  const uint64_t slept = TestClock().SleptMs();
  ASSERT_TRUE(Add(path));
  // The worker is in its pause before the dispatch: no pick code yet.
  const bool held = TestClock().WaitForHeldSleep();
  ASSERT_TRUE(CancelTask(path));
  TestClock().HoldSleeps(false);
  ASSERT_TRUE(held);
  ASSERT_TRUE(WaitIdle());
  EXPECT_LT(TestClock().SleptMs() - slept, 5000u) << "the pause ends with the cancel";
  EXPECT_EQ(recorder_.Requests("/app/upload").size(), 0u);
  EXPECT_EQ(recorder_.Requests("/app/cancel").size(), 0u);
}

TEST_F(TransferWorkerTest, LogoutDuringHashingStopsTheTask) {
  StartService();
  // Sparse, and large enough that hashing lasts a while.
  const std::string path = dir_.File("big.bin");
  {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fseek(f, (1L << 30) - 1, SEEK_SET), 0);
    std::fputc(1, f);
    std::fclose(f);
  }
  ASSERT_TRUE(Add(path));
  ASSERT_TRUE(log_.WaitFor([&](const TaskNotice& n) {
    return n.path == path && n.status == static_cast<int32_t>(TaskStatus::Hashing);
  })) << "no progress while hashing";
  LogoutAccount();
  const TaskNotice end = WaitEnd(path);
  EXPECT_EQ(end.status, static_cast<int32_t>(TaskStatus::Stopped));
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(recorder_.Requests("/app/upload").size(), 0u);
}

TEST_F(TransferWorkerTest, NoSpaceAtTheServiceStopsEveryTask) {
  StartService({"--faults", "dispatch:status=410"});
  const std::string first = MakeFile("first.bin", RandomContent(1000, 50));
  const std::string second = MakeFile("second.bin", RandomContent(1000, 51));
  ASSERT_TRUE(Add(first));
  ASSERT_TRUE(Add(second));
  const TaskNotice end = WaitStatus(first, TaskStatus::Failed);
  EXPECT_EQ(end.errorCode, 410);
  EXPECT_EQ(WaitEnd(second).status, static_cast<int32_t>(TaskStatus::Stopped));
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(GetQueueTotals().taskCount, 0u);
  EXPECT_EQ(recorder_.Requests("/app/upload").size(), 1u);
}

TEST_F(TransferWorkerTest, FullQuotaFailsWithNoSpaceAndStopsTheRest) {
  StartService({}, "bob", "bob-pw");  // a quota of 3000000 bytes
  const std::string fill = MakeFile("fill.bin", RandomContent(3000000, 60));
  ASSERT_TRUE(Add(fill));
  ASSERT_EQ(WaitEnd(fill).status, static_cast<int32_t>(TaskStatus::Completed));
  const std::string more = MakeFile("more.bin", RandomContent(10, 61));
  const std::string rest = MakeFile("rest.bin", RandomContent(10, 62));
  ASSERT_TRUE(Add(more));
  ASSERT_TRUE(Add(rest));
  const TaskNotice end = WaitStatus(more, TaskStatus::Failed);
  EXPECT_EQ(end.errorCode, kErrNoSpace);
  EXPECT_EQ(end.errorText, ErrorMessageText(kErrNoSpace));
  EXPECT_EQ(WaitEnd(rest).status, static_cast<int32_t>(TaskStatus::Stopped));
  EXPECT_EQ(recorder_.Requests("/app/upload").size(), 1u) << "no dispatch without space";
}

TEST_F(TransferWorkerTest, AFileThatChangesDuringTheUploadIsNotSentAsAMix) {
  // The first dispatch is answered 300: the failure that ends the upload
  // later is reported with its own text, not with the message of that answer.
  StartService({"--faults", "dispatch:status=300*1,bigupload:delay=0*1,bigupload:delay=1500*1"});
  // Five ranges: the one behind the held second range may already be on its
  // way, so the file must be long enough for the change to stop the rest.
  const std::string content = RandomContent(5 * kMiB, 70);
  const std::string path = MakeFile("changing.bin", content);
  ASSERT_TRUE(Add(path));
  ASSERT_TRUE(Eventually([&] { return recorder_.Ranges().size() >= 2; }));
  {
    std::FILE* f = std::fopen(path.c_str(), "ab");
    ASSERT_NE(f, nullptr);
    std::fputs("appended", f);
    std::fclose(f);
  }
  const TaskNotice end = WaitEnd(path);
  EXPECT_EQ(end.status, static_cast<int32_t>(TaskStatus::Failed));
  EXPECT_EQ(end.errorCode, kErrFileChanged);
  EXPECT_EQ(end.errorText, ErrorMessageText(kErrFileChanged));
  // The range behind the held one may have gone out before the change (it
  // holds none of the appended bytes); nothing goes after it.
  EXPECT_LE(recorder_.Ranges().size(), 3u);
  ResumeRecord record;
  EXPECT_FALSE(ReadResumeRecord(path, &record)) << "its identities are stale";
  EXPECT_EQ(ExportedFiles().size(), 0u);
}

}  // namespace
}  // namespace vexa
