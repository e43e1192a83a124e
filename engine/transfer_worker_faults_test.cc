// The transfer worker against a service that fails on purpose.

#include <algorithm>
#include <string>
#include <vector>

#include "engine/transfer_test_support.h"

namespace vexa {
namespace {

using TransferFaultsTest = TransferServiceTest;

TEST_F(TransferFaultsTest, ARangeWhoseConnectionDropsIsSentAgain) {
  StartService({"--faults", "bigupload:drop=65536*2"});
  const std::string content = RandomContent(3 * kMiB, 1);
  const std::string path = MakeFile("dropped.bin", content);
  ASSERT_TRUE(Add(path));
  const TaskNotice end = WaitEnd(path);
  ASSERT_EQ(end.status, static_cast<int32_t>(TaskStatus::Completed)) << end.errorCode;
  // The first range goes three times; a range sent behind it on a
  // connection that then dropped is lost with it and goes again in its turn.
  const std::vector<std::string> ranges = recorder_.Ranges();
  EXPECT_EQ(std::count(ranges.begin(), ranges.end(), "0-1048576"), 3);
  ASSERT_GE(ranges.size(), 5u);
  const std::vector<std::string> last = {"0-1048576", "1048576-2097152", "2097152-3145728"};
  EXPECT_EQ(std::vector<std::string>(ranges.end() - 3, ranges.end()), last);
  // The bytes of the broken attempts are not counted as uploaded.
  for (const TaskNotice& n : log_.notices())
    EXPECT_LE(n.doneSize, static_cast<int64_t>(content.size()));
  EXPECT_EQ(end.doneSize, static_cast<int64_t>(content.size()));
  EXPECT_EQ(ExportedFiles()["dropped.bin"]["sha1"].asString(), Sha1Of(content));
}

TEST_F(TransferFaultsTest, ASpaceAnswerLateBeyondTheTimeOutIsAskedAgain) {
  StartService({"--faults", "space:delay=2500*1"});
  // Only now: the login must not meet the short time-out on a loaded machine.
  ProcessHttpClient().idleTimeoutMs = 1000;
  const std::string content = RandomContent(1000, 2);
  const std::string path = MakeFile("late space.bin", content);
  ASSERT_TRUE(Add(path));
  const TaskNotice end = WaitEnd(path);
  EXPECT_EQ(end.status, static_cast<int32_t>(TaskStatus::Completed)) << end.errorCode;
  EXPECT_GE(recorder_.Requests("/app/user/space").size(), 2u);
  EXPECT_EQ(ExportedFiles()["late space.bin"]["sha1"].asString(), Sha1Of(content));
}

// A slow account service must not hold the worker (and the queue behind it)
// once its task is stopped.
TEST_F(TransferFaultsTest, AStopEndsASlowSpaceQuery) {
  StartService({"--faults", "space:delay=60000"});
  const std::string path = MakeFile("slow space.bin", RandomContent(1000, 7));
  ASSERT_TRUE(Add(path));
  ASSERT_TRUE(Eventually([&] { return recorder_.Requests("/app/user/space").size() == 1; }));
  ASSERT_TRUE(ChangeTaskState(path, true, TaskStatus::Stopped));
  EXPECT_TRUE(WaitIdle(10000)) << "the worker waits for the space answer";
}

// A cancelled task's worker sends the service's cancel; a logout ends that
// wait too.
TEST_F(TransferFaultsTest, ALogoutEndsASlowCancelRequest) {
  StartService({"--faults", "bigupload:delay=8000*1,cancel:delay=60000"});
  const std::string path = MakeFile("slow cancel.bin", RandomContent(3 * kMiB, 8));
  ASSERT_TRUE(Add(path));
  ASSERT_TRUE(Eventually([&] { return recorder_.Ranges().size() >= 1; }));
  ASSERT_TRUE(CancelTask(path));
  ASSERT_TRUE(Eventually([&] { return recorder_.Requests("/app/cancel").size() == 1; }));
  LogoutAccount();
  EXPECT_TRUE(WaitIdle(10000)) << "the worker waits for the cancel answer";
}

TEST_F(TransferFaultsTest, ServerErrorsFailTheTaskWithTheStepsCode) {
  // The first range fault may meet the range sent behind the failing check.
  StartService({"--faults", "dispatch:fail*1,check:fail*1,bigupload:fail*2"});
  const struct {
    const char* name;
    int32_t code;
  } cases[] = {{"dispatch.bin", kErrDispatchPost},
               {"check.bin", kErrCheckGet},
               {"range.bin", kErrRangeFailed}};
  unsigned seed = 3;
  for (const auto& c : cases) {
    const std::string path = MakeFile(c.name, RandomContent(5000, ++seed));
    ASSERT_TRUE(Add(path));
    const TaskNotice end = WaitEnd(path);
    EXPECT_EQ(end.status, static_cast<int32_t>(TaskStatus::Failed)) << c.name;
    EXPECT_EQ(end.errorCode, c.code) << c.name;
  }
  EXPECT_EQ(ExportedFiles().size(), 0u);
}

}  // namespace
}  // namespace vexa
