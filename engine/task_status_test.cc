#include "engine/engine.h"
#include "engine/test_worker.h"
#include "store/error_table.h"

namespace vexa {
namespace {

class TaskStatusTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    Start();
    folder_ = std::make_shared<FolderRecord>();
    folder_->folderPath = dir_.File("F");
    folder_->totalSize = 600;
    RegisterFolder(folder_);
  }

  // A member task of folder_, with `members` members in the folder.
  std::unique_ptr<UploadTask> Member(const std::string& name, int members) {
    {
      port::MutexLock l(&folder_->lock);
      folder_->memberCount = members;
      folder_->pendingPaths.push_back(LocalPath(folder_->folderPath, name));
    }
    auto t = std::make_unique<UploadTask>();
    t->filePath = LocalPath(folder_->folderPath, name);
    t->folderPath = folder_->folderPath;
    t->fileSize = 200;
    return t;
  }
  std::vector<TaskNotice> FolderNotices() {
    std::vector<TaskNotice> out;
    for (const TaskNotice& n : log_.notices()) {
      if (n.isFolder == 1) out.push_back(n);
    }
    return out;
  }

  FolderRef folder_;
};

TEST_F(TaskStatusTest, StoppedOrCancelledTasksNeverRunAgain) {
  for (TaskStatus end : {TaskStatus::Stopped, TaskStatus::Cancelled}) {
    UploadTask t;
    t.filePath = "/x";
    ASSERT_TRUE(SetTaskStatus(&t, end, false));
    EXPECT_FALSE(SetTaskStatus(&t, TaskStatus::Hashing, false));
    EXPECT_FALSE(SetTaskStatus(&t, TaskStatus::Uploading, false));
    EXPECT_FALSE(EnterTransferStatus(&t));
    EXPECT_EQ(end, t.GetStatus());
    EXPECT_TRUE(SetTaskStatus(&t, TaskStatus::Failed, false));
  }
  EXPECT_FALSE(SetTaskStatus(nullptr, TaskStatus::Failed, true));
  EXPECT_EQ(0u, log_.size());
}

TEST_F(TaskStatusTest, FolderIsReportedOnceWhenItsLastMemberCompletes) {
  auto a = Member("a", 3), b = Member("b", 3), c = Member("c", 3);
  folder_->uploadedSize = 600;
  EXPECT_TRUE(SetTaskStatus(a.get(), TaskStatus::Completed, true));
  EXPECT_TRUE(SetTaskStatus(b.get(), TaskStatus::Completed, true));
  EXPECT_EQ(0u, log_.size());  // members send nothing of their own
  EXPECT_TRUE(SetTaskStatus(c.get(), TaskStatus::Completed, true));
  const std::vector<TaskNotice> n = log_.notices();
  ASSERT_EQ(1u, n.size());
  EXPECT_EQ(1, n[0].isFolder);
  EXPECT_EQ(folder_->folderPath, n[0].path);
  EXPECT_EQ("F", n[0].fileName);
  EXPECT_EQ(static_cast<int32_t>(TaskStatus::Completed), n[0].status);
  EXPECT_EQ(600, n[0].totalSize);
  EXPECT_EQ(600, n[0].doneSize);
  EXPECT_EQ(0, n[0].errorCode);
  EXPECT_EQ("", n[0].errorText);
  EXPECT_EQ(nullptr, FindFolder(folder_->folderPath));  // a completed folder is forgotten
  // A member of a folder that is gone is refused.
  auto late = Member("late", 3);
  EXPECT_FALSE(SetTaskStatus(late.get(), TaskStatus::Completed, true));
}

TEST_F(TaskStatusTest, AMemberFailingTwiceCountsOnce) {
  auto a = Member("a", 2), b = Member("b", 2);
  a->errorCode = 402;
  EXPECT_TRUE(SetTaskStatus(a.get(), TaskStatus::Failed, true));
  EXPECT_TRUE(SetTaskStatus(a.get(), TaskStatus::Failed, true));
  EXPECT_TRUE(FolderNotices().empty());
  EXPECT_TRUE(SetTaskStatus(b.get(), TaskStatus::Completed, true));
  const std::vector<TaskNotice> n = FolderNotices();
  ASSERT_EQ(1u, n.size());
  EXPECT_EQ(static_cast<int32_t>(TaskStatus::Failed), n[0].status);
  std::map<std::string, std::string> failures;
  CopyFolderFailures(folder_->folderPath, &failures);
  ASSERT_EQ(1u, failures.size());
  EXPECT_EQ(ErrorMessageText(402), failures[a->filePath]);
  port::MutexLock l(&folder_->lock);
  EXPECT_EQ(1, folder_->failedCount);
  EXPECT_EQ(std::vector<std::string>{a->filePath}, folder_->pendingPaths);
}

TEST_F(TaskStatusTest, NoSpaceFailsTheWholeFolderAtOnce) {
  for (int32_t code : {1013, 410}) {
    log_.clear();
    auto a = Member("a" + std::to_string(code), 3);
    Member("b", 3);
    Member("c", 3);
    folder_->startTick = 12345;
    folder_->sentSinceStart = 99;
    a->errorCode = code;
    {
      port::MutexLock l(&folder_->lock);
      folder_->failedCount = 0;
      folder_->completedCount = 0;
      folder_->failures.clear();
    }
    EXPECT_TRUE(SetTaskStatus(a.get(), TaskStatus::Failed, true));
    const std::vector<TaskNotice> n = FolderNotices();
    ASSERT_EQ(1u, n.size()) << code;
    EXPECT_EQ(static_cast<int32_t>(TaskStatus::Failed), n[0].status);
    EXPECT_EQ(0, folder_->startTick.load());  // the folder's speed measurement restarts
    EXPECT_EQ(0, folder_->sentSinceStart.load());
  }
}

TEST_F(TaskStatusTest, FolderReportsFollowTheirStatus) {
  NotifyFolderStatus(folder_, TaskStatus::Uploading);
  NotifyFolderStatus(folder_, TaskStatus::Cancelled);
  EXPECT_EQ(0u, log_.size());
  EXPECT_EQ(static_cast<int32_t>(TaskStatus::Cancelled), folder_->status.load());
  NotifyFolderStatus(folder_, TaskStatus::Stopped);
  NotifyFolderStatus(nullptr, TaskStatus::Stopped);
  ASSERT_EQ(1u, log_.size());
  EXPECT_EQ(77u, log_.notices()[0].userValue);
  EXPECT_NE(nullptr, FindFolder(folder_->folderPath));
}

TEST_F(TaskStatusTest, SummaryIsResetWhenLoggedOut) {
  AddFileTask(MakeFile("a.bin", 10), "T", 0, "", "", true);
  AddFileTask(MakeFile("b.bin", 10), "T", 0, "", "", true);
  UploadTask* t = RegisteredTask(dir_.File("a.bin"));
  ASSERT_NE(nullptr, t);
  LogoutAccount();
  log_.clear();
  SetTaskStatus(t, TaskStatus::Waiting, true);
  ASSERT_EQ(1u, log_.size());
  EXPECT_EQ(kEmptyQueueSummary, log_.notices()[0].queueSummary);
}

// Stop and cancel of a whole folder run on a thread of their own.
TEST_F(TaskStatusTest, FolderStopAndCancelWalkTheRegisteredMembers) {
  const std::string path = folder_->folderPath;
  auto a = Member("a", 2), b = Member("b", 2);
  a->fileSize = 100;
  b->fileSize = 200;
  ASSERT_TRUE(SaveTaskRecord(*a, false));
  ASSERT_TRUE(SaveTaskRecord(*b, false));
  ASSERT_TRUE(AddFolderMember(a));
  ASSERT_TRUE(AddFolderMember(b));
  AddFileTask(MakeFile("s.bin", 5), "T", 0, "", "", true);
  EXPECT_EQ(305, GetQueueTotals().totalBytes);
  log_.clear();

  ASSERT_TRUE(ChangeTaskState(path, true, TaskStatus::Stopped));
  ASSERT_TRUE(TEST_WaitForFolderWorkers(10000));
  EXPECT_EQ(1u, GetQueueTotals().taskCount);  // only the single file is left
  EXPECT_EQ(5, GetQueueTotals().totalBytes);
  std::vector<TaskNotice> n = log_.notices();
  ASSERT_EQ(1u, n.size());  // the folder once, no member rows
  EXPECT_EQ(1, n[0].isFolder);
  EXPECT_EQ(static_cast<int32_t>(TaskStatus::Stopped), n[0].status);
  EXPECT_NE(nullptr, FindFolder(path));

  log_.clear();
  ASSERT_TRUE(ChangeTaskState(path, true, TaskStatus::Cancelled));
  ASSERT_TRUE(TEST_WaitForFolderWorkers(10000));
  EXPECT_EQ(0u, log_.size());  // a cancelled folder is not reported
  EXPECT_EQ(nullptr, FindFolder(path));
  ResumeRecord r;
  EXPECT_FALSE(ReadResumeRecord(LocalPath(path, "a"), &r));
  EXPECT_FALSE(ReadResumeRecord(LocalPath(path, "b"), &r));
  EXPECT_TRUE(ReadResumeRecord(dir_.File("s.bin"), &r));
}

}  // namespace
}  // namespace vexa
