#include "engine/engine.h"

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <thread>

#include "engine/test_worker.h"
#include "port/codepage.h"
#include "store/error_table.h"
#include "store/resume_store.h"

namespace vexa {
namespace {

using RegistryTest = EngineTest;

TEST_F(RegistryTest, EverythingRefusesWhileStopped) {
  const std::string f = MakeFile("a.bin", 10);
  EXPECT_FALSE(AddFileTask(f, "T", 0, "", "", true));
  EXPECT_FALSE(ChangeTaskState(f, true, TaskStatus::Stopped));
  EXPECT_FALSE(CancelTask(f));
  EXPECT_FALSE(SelectFiles("T", 0, 1, true));
  EXPECT_EQ(0u, log_.size());
}

TEST_F(RegistryTest, SecondStartChangesNothing) {
  Start();
  NoticeLog other;
  StartEngine(other.Callback(), 1);
  AddFileTask(MakeFile("a.bin", 10), "T", 0, "", "", true);
  EXPECT_EQ(1u, log_.size());
  EXPECT_EQ(77u, log_.notices()[0].userValue);
  EXPECT_EQ(0u, other.size());
}

TEST_F(RegistryTest, QueuedFileIsReportedSavedAndRegisteredOnce) {
  Start();
  const std::string f = MakeFile("dir/a.bin", 1234);
  ASSERT_TRUE(AddFileTask(f, "T9", 3, "", "", true));
  ASSERT_EQ(1u, log_.size());
  const TaskNotice n = log_.notices()[0];
  EXPECT_EQ("a.bin", n.fileName);
  EXPECT_EQ(f, n.path);
  EXPECT_EQ(1234, n.totalSize);
  EXPECT_EQ(static_cast<int32_t>(TaskStatus::Waiting), n.status);
  EXPECT_EQ(0, n.isFolder);
  EXPECT_EQ("1,1234,0,00:00:00", n.queueSummary);  // before the scheduler's first summary
  EXPECT_EQ(77u, n.userValue);
  ASSERT_TRUE(FindTask(f));
  EXPECT_EQ(1234, GetQueueTotals().totalBytes);

  ResumeRecord r;
  ASSERT_TRUE(ReadResumeRecord(f, &r));
  EXPECT_EQ("T9", r.target);
  EXPECT_EQ(1234, r.fileSize);
  EXPECT_EQ(3, r.ispType);

  EXPECT_FALSE(AddFileTask(f, "T9", 3, "", "", true));  // duplicate: no notice
  EXPECT_EQ(1u, log_.size());
}

TEST_F(RegistryTest, AutoStartOffReportsStoppedAndKeepsOnlyTheRecord) {
  Start();
  const std::string f = MakeFile("s.bin", 50);
  EXPECT_FALSE(AddFileTask(f, "T", 0, "", "", false));
  ASSERT_EQ(1u, log_.size());
  EXPECT_EQ(static_cast<int32_t>(TaskStatus::Stopped), log_.notices()[0].status);
  EXPECT_FALSE(FindTask(f));
  ResumeRecord r;
  EXPECT_TRUE(ReadResumeRecord(f, &r));
}

TEST_F(RegistryTest, RegistrationFailuresAreReportedOnceWithTheirCodes) {
  LogIn(R"({"state": true, "user_id": "500", "size_limit": 100})");
  Start();
  struct Case {
    std::string path;
    std::string target;
    int32_t code;
  } cases[] = {
      {MakeFile("empty.bin", 0), "T", 1000},          {dir_.File("missing.bin"), "T", 2},
      {MakeFile("notarget.bin", 5), "", 1012},        {MakeFile("big.bin", 101), "T", 1014},
      {dir_.File("line\nbreak.bin"), "T", 123},       {MakeFile("ok.bin", 5), "bad\r\ntarget", 123},
      {MakeFile("space.bin", 5), "bad target ", 123},
  };
  for (const Case& c : cases) {
    log_.clear();
    EXPECT_FALSE(AddFileTask(c.path, c.target, 0, "", "", true)) << c.path;
    ASSERT_EQ(1u, log_.size()) << c.path;
    const TaskNotice n = log_.notices()[0];
    EXPECT_EQ(static_cast<int32_t>(TaskStatus::Failed), n.status) << c.path;
    EXPECT_EQ(c.code, n.errorCode) << c.path;
    EXPECT_EQ(ErrorMessageText(c.code), n.errorText) << c.path;
    EXPECT_FALSE(FindTask(c.path));
  }
  EXPECT_EQ(port::Utf8ToGbk("空文件不能上传"), ErrorMessageText(1000));
  EXPECT_EQ(0u, GetQueueTotals().taskCount);
  // A path with a line break never reaches the store.
  CloseResumeStore();
  std::ifstream in(dir_.File("500_upload.ini"), std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(std::string::npos, text.find("break.bin"));
  EXPECT_EQ(std::string::npos, text.find("bad"));
  // A limit beyond the signed range is no limit, not a negative one.
  StopEngine();
  LogIn(R"({"state": true, "user_id": "500", "size_limit": 1e19})");
  Start();
  EXPECT_TRUE(AddFileTask(MakeFile("huge-limit.bin", 5), "T", 0, "", "", true));
}

TEST_F(RegistryTest, StopAndCancelOfWaitingTasks) {
  Start();
  const std::string a = MakeFile("a.bin", 100), b = MakeFile("b.bin", 200);
  ASSERT_TRUE(AddFileTask(a, "T", 0, "", "", true));
  ASSERT_TRUE(AddFileTask(b, "T", 0, "", "", true));
  EXPECT_EQ(300, GetQueueTotals().totalBytes);
  log_.clear();

  // The page's cancel sends nothing, lowers the total at once and forgets the record.
  EXPECT_TRUE(CancelTask(a));
  EXPECT_EQ(0u, log_.size());
  EXPECT_EQ(200, GetQueueTotals().totalBytes);
  ResumeRecord r;
  EXPECT_FALSE(ReadResumeRecord(a, &r));

  // The page's stop of the only task reports it and resets the summary.
  EXPECT_TRUE(ChangeTaskState(b, true, TaskStatus::Stopped));
  ASSERT_EQ(1u, log_.size());
  EXPECT_EQ(static_cast<int32_t>(TaskStatus::Stopped), log_.notices()[0].status);
  EXPECT_EQ(kEmptyQueueSummary, log_.notices()[0].queueSummary);
  EXPECT_EQ(0, GetQueueTotals().totalBytes);
  EXPECT_TRUE(ReadResumeRecord(b, &r));  // a stopped file keeps its record

  // Neither registered nor a folder: still true, and a cancel still forgets.
  EXPECT_TRUE(ChangeTaskState(b, true, TaskStatus::Cancelled));
  EXPECT_FALSE(ReadResumeRecord(b, &r));
}

TEST_F(RegistryTest, SummaryIsResetOnlyWhenTheLastTaskEnds) {
  TestWorker worker;
  Start();
  const std::string a = MakeFile("a.bin", 100), b = MakeFile("b.bin", 200),
                    c = MakeFile("c.bin", 300);
  AddFileTask(a, "T", 0, "", "", true);
  AddFileTask(b, "T", 0, "", "", true);
  AddFileTask(c, "T", 0, "", "", true);
  log_.clear();
  // The stopped task leaves the registry first: two remain, no reset.
  ChangeTaskState(c, true, TaskStatus::Stopped);
  ASSERT_EQ(1u, log_.size());
  EXPECT_EQ("1,100,0,00:00:00", log_.notices()[0].queueSummary);
  // A worker's completion counts its own task, still registered: two.
  worker.set_refuse(false);
  RunSchedulerPass();
  UploadTask* running = worker.WaitStarted(1);
  ASSERT_NE(nullptr, running);
  log_.clear();
  worker.Complete(running);
  ASSERT_EQ(1u, log_.size());
  EXPECT_NE(kEmptyQueueSummary, log_.notices()[0].queueSummary);
  // The last one: reset.
  ChangeTaskState(b, true, TaskStatus::Stopped);
  EXPECT_EQ(kEmptyQueueSummary, log_.notices().back().queueSummary);
}

TEST_F(RegistryTest, CancelOfARunningTaskLowersTheTotalWhenItsWorkerEnds) {
  TestWorker worker;
  Start();
  const std::string a = MakeFile("a.bin", 100);
  ASSERT_TRUE(AddFileTask(a, "T", 0, "", "", true));
  RunSchedulerPass();
  UploadTask* running = worker.WaitStarted(1);
  ASSERT_NE(nullptr, running);
  EXPECT_EQ(TaskStatus::Hashing, running->GetStatus());

  EXPECT_TRUE(CancelTask(a));
  EXPECT_EQ(TaskStatus::Cancelled, running->GetStatus());
  EXPECT_FALSE(FindTask(a));
  EXPECT_EQ(100, GetQueueTotals().totalBytes);
  EXPECT_EQ(1, GetQueueTotals().runningCount);
  // A late worker cannot bring it back.
  EXPECT_FALSE(SetTaskStatus(running, TaskStatus::Uploading, false));
  worker.End(running);
  EXPECT_EQ(0, GetQueueTotals().totalBytes);
  EXPECT_EQ(0, GetQueueTotals().runningCount);
}

// A stopped task's worker saves its record on its way out (what the real
// worker does at its end); a cancel that came first must win, or the
// cancelled file comes back at the next login. A file queued again after the
// cancel saves as usual.
TEST_F(RegistryTest, ACancelWinsOverALaterSaveOfTheStoppedTask) {
  TestWorker worker;
  Start();
  const std::string a = MakeFile("a.bin", 100);
  ASSERT_TRUE(AddFileTask(a, "T", 0, "", "", true));
  RunSchedulerPass();
  UploadTask* running = worker.WaitStarted(1);
  ASSERT_NE(nullptr, running);
  ASSERT_TRUE(ChangeTaskState(a, true, TaskStatus::Stopped));
  ASSERT_TRUE(CancelTask(a));
  EXPECT_FALSE(SaveTaskRecord(*running, true));
  ResumeRecord r;
  EXPECT_FALSE(ReadResumeRecord(a, &r)) << "the cancelled record came back";
  worker.End(running);

  AddFileTask(a, "T", 0, "", "", false);  // recorded as stopped
  EXPECT_TRUE(ReadResumeRecord(a, &r)) << "added again after the cancel";
}

// A logout while a transfer runs, and another user's login before its worker
// ends: the old worker's save, and its end, must not reach the new login's
// store or totals.
TEST_F(RegistryTest, AWorkerOfAnEarlierLoginLeavesNoTraceInTheNext) {
  TestWorker worker;
  Start();
  const std::string a = MakeFile("a.bin", 600);
  ASSERT_TRUE(AddFileTask(a, "T", 0, "", "", true));
  RunSchedulerPass();
  UploadTask* old = worker.WaitStarted(1);
  ASSERT_NE(nullptr, old);
  StopEngine();
  LogIn(R"({"state": true, "user_id": "501", "size_limit": 1000000})");
  Start();
  const std::string b = MakeFile("b.bin", 1000);
  ASSERT_TRUE(AddFileTask(b, "T", 0, "", "", true));

  EXPECT_FALSE(SaveTaskRecord(*old, true));
  ResumeRecord r;
  EXPECT_FALSE(ReadResumeRecord(a, &r)) << "user 500's file in user 501's store";
  worker.End(old);
  const QueueTotals t = GetQueueTotals();
  EXPECT_EQ(1000, t.totalBytes) << "the old task's size came off the new queue's total";
  EXPECT_EQ(0, t.runningCount);
}

TEST_F(RegistryTest, RegistrationRestoresFromTheResumeRecord) {
  Start();
  const std::string f = MakeFile("r.bin", 500);
  ResumeRecord r;
  r.fileId = "FID";
  r.quickId = "QID";
  r.pickCode = "PC";
  r.target = "FROM_STORE";
  r.fileSize = 500;
  r.uploadedSize = 200;
  r.ispType = 4;
  ASSERT_TRUE(SaveResumeRecord(f, r, false));
  TestWorker worker;
  ASSERT_TRUE(AddFileTask(f, "IGNORED", 0, "", "", true));
  UploadTask* t = RegisteredTask(f);
  ASSERT_NE(nullptr, t);
  EXPECT_EQ("FROM_STORE", t->target);
  EXPECT_EQ(200, t->uploadedSize.load());
  EXPECT_EQ(4, t->ispType);
  EXPECT_EQ("PC", log_.notices().back().pickCode);
  RunSchedulerPass();
  ASSERT_EQ(t, worker.WaitStarted(1));
  EXPECT_EQ(TaskStatus::Uploading, t->GetStatus());  // both identities known: no hashing
  worker.Complete(t);
}

TEST_F(RegistryTest, AddFolderMemberChecksStatusDuplicateAndSize) {
  Start();
  auto folder = std::make_shared<FolderRecord>();
  folder->folderPath = dir_.File("F");
  {
    port::MutexLock l(&folder->lock);
    folder->memberCount = 3;
  }
  RegisterFolder(folder);
  auto member = [&](const std::string& path) {
    auto t = std::make_unique<UploadTask>();
    t->filePath = path;
    t->folderPath = folder->folderPath;
    return t;
  };
  auto good = member(MakeFile("F/a.bin", 10));
  ASSERT_TRUE(AddFolderMember(good));
  EXPECT_EQ(nullptr, good) << "the engine owns a registered member";
  auto dup = member(dir_.File("F/a.bin"));
  EXPECT_FALSE(AddFolderMember(dup));
  EXPECT_NE(nullptr, dup) << "a refused member stays with the caller";
  // Counted as failed, or its folder would wait for it for ever.
  EXPECT_EQ(TaskStatus::Failed, dup->GetStatus());
  EXPECT_EQ(kErrAlreadyQueued, dup->errorCode.load());
  auto stopped = member(MakeFile("F/s.bin", 10));
  stopped->SetStatusValue(TaskStatus::Stopped);
  EXPECT_FALSE(AddFolderMember(stopped));
  auto empty = member(MakeFile("F/e.bin", 0));
  EXPECT_FALSE(AddFolderMember(empty));
  EXPECT_EQ(1000, empty->errorCode.load());
  EXPECT_EQ(TaskStatus::Failed, empty->GetStatus());
  // A size that cannot be read fails the member with the system's code.
  auto gone = member(dir_.File("F/gone.bin"));
  EXPECT_FALSE(AddFolderMember(gone));
  EXPECT_EQ(2, gone->errorCode.load());
  EXPECT_EQ(TaskStatus::Failed, gone->GetStatus());
  std::unique_ptr<UploadTask> none;
  EXPECT_FALSE(AddFolderMember(none));
  EXPECT_EQ(10, GetQueueTotals().totalBytes);
  // Member failures are counted by the folder, not reported per file.
  for (const TaskNotice& n : log_.notices()) EXPECT_EQ(1, n.isFolder);
}

// The exact reports of a restart with one unfinished file between the members
// of one unfinished folder of three files.
TEST_F(RegistryTest, RestartReportsUnfinishedFilesAndFolders) {
  const std::string folder = dir_.File("F");
  auto section = [](const std::string& path, const std::string& folder_path, int size, int done) {
    return "[" + path + "]\r\nfileid=A\r\nquickid=B\r\npickcode=P\r\nfolderpath=" + folder_path +
           "\r\nfoldertarget=" + (folder_path.empty() ? "" : "FT") +
           "\r\ntarget=" + (folder_path.empty() ? "T" : "") +
           "\r\nfilesize=" + std::to_string(size) + "\r\nuploadsize=" + std::to_string(done) +
           "\r\nisp=0\r\n";
  };
  std::ofstream(dir_.File("500_upload.ini"), std::ios::binary)
      << section(LocalPath(folder, "a"), folder, 10, 1)
      << section(dir_.File("single.bin"), "", 99, 9)
      << section(LocalPath(folder, "sub/b"), folder, 20, 2)
      << section(LocalPath(folder, "c"), folder, 30, 3) << "[incomplete]\r\nfileid=X\r\n";
  Start();
  const std::vector<TaskNotice> n = log_.notices();
  ASSERT_EQ(3u, n.size());
  EXPECT_EQ(folder, n[0].path);
  EXPECT_EQ(1, n[0].isFolder);
  EXPECT_EQ(0, n[0].totalSize);
  EXPECT_EQ(0, n[0].doneSize);
  EXPECT_EQ(dir_.File("single.bin"), n[1].path);
  EXPECT_EQ(0, n[1].isFolder);
  EXPECT_EQ(99, n[1].totalSize);
  EXPECT_EQ(9, n[1].doneSize);
  EXPECT_EQ("P", n[1].pickCode);
  EXPECT_EQ(folder, n[2].path);
  EXPECT_EQ(1, n[2].isFolder);
  EXPECT_EQ(60, n[2].totalSize);
  EXPECT_EQ(6, n[2].doneSize);
  for (const TaskNotice& t : n) EXPECT_EQ(static_cast<int32_t>(TaskStatus::Stopped), t.status);
  EXPECT_EQ(0u, GetQueueTotals().taskCount);

  FolderRef f = FindFolder(folder);
  ASSERT_NE(nullptr, f);
  EXPECT_EQ("FT", f->target);
  port::MutexLock l(&f->lock);
  EXPECT_EQ(3, f->memberCount);
  EXPECT_EQ((std::vector<std::string>{LocalPath(folder, "a"), LocalPath(folder, "sub/b"),
                                      LocalPath(folder, "c")}),
            f->pendingPaths);
  EXPECT_EQ(2u, f->dirTargets.size());
}

TEST_F(RegistryTest, StopEngineStopsSilentlyAndWritesTheStore) {
  TestWorker worker;
  Start();
  const std::string a = MakeFile("a.bin", 100), b = MakeFile("b.bin", 200);
  AddFileTask(a, "T", 0, "", "", true);
  AddFileTask(b, "T", 0, "", "", true);
  RunSchedulerPass();
  UploadTask* running = worker.WaitStarted(1);
  ASSERT_NE(nullptr, running);
  log_.clear();
  StopEngine();
  EXPECT_EQ(0u, log_.size());
  EXPECT_EQ(TaskStatus::Stopped, running->GetStatus());
  const QueueTotals t = GetQueueTotals();
  EXPECT_EQ(0u, t.taskCount);
  EXPECT_EQ(0, t.totalBytes);
  EXPECT_EQ(kEmptyQueueSummary, t.queueSummary);
  EXPECT_FALSE(IsResumeStoreOpen());
  // Both records were written at the close, though the writer was never woken.
  std::ifstream in(dir_.File("500_upload.ini"), std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(std::string::npos, text.find("a.bin]"));
  EXPECT_NE(std::string::npos, text.find("b.bin]"));
  worker.End(running);
  EXPECT_EQ(0, GetQueueTotals().runningCount);
}

// A registration that races the stop: the file is reported queued, then the
// engine stops (and, in the second round, another user logs in) before the
// file is inserted. It must not survive into the next start.
TEST_F(RegistryTest, AFileQueuedWhileTheEngineStopsDoesNotSurviveTheStop) {
  for (const bool restart : {false, true}) {
    SCOPED_TRACE(restart ? "stop and a new login" : "stop");
    const std::string f = MakeFile(restart ? "late2.bin" : "late1.bin", 10);
    NoticeLog next;
    bool raced = false;
    StartEngine(
        [&](TaskNotice n) {
          if (raced || n.path != f) return;
          raced = true;
          std::thread([&] {
            StopEngine();
            if (!restart) return;
            LogIn(R"({"state": true, "user_id": "501", "size_limit": 1000000})");
            StartEngine(next.Callback(), 2);
          }).join();
        },
        1);
    TestWorker worker;
    EXPECT_FALSE(AddFileTask(f, "OLD_TARGET", 0, "", "", true));
    EXPECT_TRUE(raced);
    EXPECT_EQ(0u, GetQueueTotals().taskCount);
    EXPECT_EQ(0, GetQueueTotals().totalBytes);
    RunSchedulerPass();
    EXPECT_TRUE(worker.started_paths().empty());
    // Nor does its record land in the next user's store.
    ResumeRecord r;
    EXPECT_FALSE(ReadResumeRecord(f, &r));
    StopEngine();
    LogIn(R"({"state": true, "user_id": "500", "size_limit": 1000000})");
  }
}

// A stopped engine registers no folder member either.
TEST_F(RegistryTest, AddFolderMemberRefusesWhileStopped) {
  auto t = std::make_unique<UploadTask>();
  t->filePath = MakeFile("F/a.bin", 10);
  t->folderPath = dir_.File("F");
  EXPECT_FALSE(AddFolderMember(t));
  EXPECT_NE(nullptr, t);
}

// A folder stop or cancel thread belongs to the start that asked for it: a
// late one neither reports through the next start's callback nor removes
// records from the next start's store.
TEST_F(RegistryTest, FolderStopAndCancelThreadsEndWithTheirStart) {
  for (const TaskStatus status : {TaskStatus::Stopped, TaskStatus::Cancelled}) {
    SCOPED_TRACE(static_cast<int>(status));
    Start();
    auto folder = std::make_shared<FolderRecord>();
    // Not on disk: a folder by its record.
    folder->folderPath = dir_.File("F" + std::to_string(static_cast<int>(status)));
    const std::string member = LocalPath(folder->folderPath, "m.bin");
    {
      port::MutexLock l(&folder->lock);
      folder->pendingPaths.push_back(member);
      folder->memberCount = 1;
    }
    ASSERT_TRUE(RegisterFolder(folder));

    // Hold the folder's lock so that the folder thread waits at its start.
    std::mutex mu;
    std::condition_variable cv;
    bool held = false, release = false;
    std::thread holder([&] {
      port::MutexLock l(&folder->lock);
      std::unique_lock<std::mutex> g(mu);
      held = true;
      cv.notify_all();
      cv.wait(g, [&] { return release; });
    });
    {
      std::unique_lock<std::mutex> g(mu);
      cv.wait(g, [&] { return held; });
    }
    ASSERT_TRUE(ChangeTaskState(folder->folderPath, true, status));

    NoticeLog next;
    std::atomic<bool> restarted{false};
    std::thread restarter([&] {
      StopEngine();
      StartEngine(next.Callback(), 2);
      ResumeRecord r;
      r.folderPath = folder->folderPath;
      r.folderTarget = "FT";
      r.fileSize = 5;
      SaveResumeRecord(member, r, false);
      restarted = true;
    });
    // Today's stop does not wait for the folder thread: give it the time to
    // finish before the folder thread goes on.
    for (int i = 0; i < 50 && !restarted; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    {
      std::lock_guard<std::mutex> g(mu);
      release = true;
    }
    cv.notify_all();
    holder.join();
    restarter.join();
    ASSERT_TRUE(TEST_WaitForFolderWorkers(10000));
    for (const TaskNotice& n : next.notices()) EXPECT_NE(folder->folderPath, n.path);
    ResumeRecord r;
    EXPECT_TRUE(ReadResumeRecord(member, &r));
    RemoveResumeRecord(member);
    MarkResumeStoreDirty(false);
    StopEngine();
  }
}

// What the worker's hash-progress callback does: look its task up by path
// while the task may be finishing on another thread. The finish waits until
// the lookup is done with the task.
TEST_F(RegistryTest, ATaskFoundByPathStaysValidWhileItFinishes) {
  TestWorker worker;
  Start();
  const std::string a = MakeFile("a.bin", 100);
  ASSERT_TRUE(AddFileTask(a, "T", 0, "", "", true));
  RunSchedulerPass();
  UploadTask* running = worker.WaitStarted(1);
  ASSERT_NE(nullptr, running);
  std::thread finisher;
  std::atomic<bool> finished{false};
  EXPECT_TRUE(FindTask(a, [&](UploadTask& t) {
    finisher = std::thread([&] {
      worker.End(running);
      finished = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(finished.load());
    EXPECT_EQ(TaskStatus::Hashing, t.GetStatus());
    t.hashProgress.store(50.0);
  }));
  finisher.join();
  EXPECT_TRUE(finished.load());
  EXPECT_FALSE(FindTask(a));
  EXPECT_EQ(0, GetQueueTotals().runningCount);
}

TEST_F(RegistryTest, SelectionAndFolderUploadGoThroughTheirSeams) {
  EXPECT_FALSE(AddFolderTask(dir_.folder(), "T", 0, true));
  Start();
  EXPECT_FALSE(AddFolderTask(dir_.folder(), "T", 0, true));  // nothing can list it
  std::string listed;
  SetFolderUploadStarter([&listed](const std::string& path, const std::string&, int32_t, bool) {
    listed = path;
    return true;
  });
  EXPECT_TRUE(AddFolderTask(dir_.folder(), "T", 0, true));
  SetFolderUploadStarter(nullptr);
  EXPECT_EQ(dir_.folder(), listed);

  EXPECT_FALSE(SelectFiles("T", 1, 42, true));  // nothing can run the dialog
  SelectionRequest seen;
  SetSelectionStarter([&seen](const SelectionRequest& r) {
    seen = r;
    return true;
  });
  EXPECT_TRUE(SelectFolder("TT", 2, 43, false));
  SetSelectionStarter(nullptr);
  EXPECT_EQ("TT", seen.target);
  EXPECT_EQ(2, seen.ispType);
  EXPECT_FALSE(seen.autoStart);
  EXPECT_TRUE(seen.folder);
  EXPECT_EQ(43u, SelectionOwner());
}

}  // namespace
}  // namespace vexa
