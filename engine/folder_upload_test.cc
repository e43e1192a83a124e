#include "engine/folder_upload.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <mutex>
#include <thread>
#include <utility>

#include "codec/text.h"
#include "engine/engine.h"
#include "engine/engine_state.h"
#include "engine/test_worker.h"
#include "store/error_table.h"
#include "store/resume_store.h"

namespace vexa {
namespace {

using Placement = std::pair<std::string, std::string>;  // remotePath, target

constexpr int32_t kWaiting = static_cast<int32_t>(TaskStatus::Waiting);

class FolderUploadTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    InstallFolderUploads();
    root_ = dir_.File("Root");
  }
  void TearDown() override {
    EXPECT_TRUE(TEST_WaitForFolderUploads(10000));
    TEST_SetFolderListedHook(nullptr);
    SetFolderUploadStarter(nullptr);
    EngineTest::TearDown();
  }

  // Adds the folder and waits until its listing thread has ended.
  void Add(const std::string& folder, const std::string& target, bool auto_start,
           int32_t isp_type = 0) {
    ASSERT_TRUE(AddFolderTask(folder, target, isp_type, auto_start));
    ASSERT_TRUE(TEST_WaitForFolderUploads(10000));
  }

  // One-byte files in the data folder.
  void MakeFiles(std::initializer_list<const char*> names) {
    for (const char* name : names) MakeFile(name, 1);
  }

  // Where a waiting member would go now.
  static Placement Resolve(const std::string& path) {
    UploadTask* task = RegisteredTask(path);
    EXPECT_NE(nullptr, task) << path;
    if (task == nullptr) return {};
    Placement p;
    // As the scheduler's pass calls it: under the engine lock.
    port::MutexLock l(&engine_internal::Engine().engineMutex);
    EXPECT_TRUE(ResolveTarget(task, DirectoryOf(path), &p.first, &p.second));
    return p;
  }

  // Starts the next member through a scheduler pass.
  static UploadTask* StartNext(TestWorker* worker, size_t n) {
    RunSchedulerPass();
    return worker->WaitStarted(n, 2000);
  }

  // The status reports, without the scheduler's progress rows.
  std::vector<TaskNotice> Reports() {
    std::vector<TaskNotice> out;
    for (const TaskNotice& n : log_.notices()) {
      if (n.status != static_cast<int32_t>(TaskStatus::Uploading)) out.push_back(n);
    }
    return out;
  }

  std::map<std::string, std::string> Failures(const std::string& folder) {
    std::map<std::string, std::string> out;
    CopyFolderFailures(folder, &out);
    return out;
  }

  std::string root_;
};

TEST_F(FolderUploadTest, FreshFolderIsQueuedInListingOrderAndPlacedDirectoryByDirectory) {
  TestWorker worker;
  Start();
  MakeFile("Root/a/c/h", 50);
  MakeFile("Root/a/b/g", 40);
  MakeFile("Root/a/f", 30);
  MakeFile("Root/t2", 20);
  MakeFile("Root/t1", 10);
  std::filesystem::create_directories(LocalPath(root_, "empty"));
  // Until its size is known a host shows the files found instead.
  int64_t found_while_listed = -2;
  TEST_SetFolderListedHook([&] { found_while_listed = FolderFilesFound(root_); });
  Add(root_, "T", true, 2);
  EXPECT_EQ(5, found_while_listed);
  EXPECT_EQ(-1, FolderFilesFound(root_));

  // Reported once as queued, once more with its total.
  std::vector<TaskNotice> n = log_.notices();
  ASSERT_EQ(2u, n.size());
  for (const TaskNotice& x : n) {
    EXPECT_EQ(root_, x.path);
    EXPECT_EQ("Root", x.fileName);
    EXPECT_EQ(1, x.isFolder);
    EXPECT_EQ(kWaiting, x.status);
  }
  EXPECT_EQ(0, n[0].totalSize);
  EXPECT_EQ(150, n[1].totalSize);
  EXPECT_EQ(5u, GetQueueTotals().taskCount);
  EXPECT_EQ(150, GetQueueTotals().totalBytes);
  ResumeRecord r;
  ASSERT_TRUE(ReadResumeRecord(LocalPath(root_, "a/b/g"), &r));
  EXPECT_EQ(root_, r.folderPath);
  EXPECT_EQ("T", r.folderTarget);
  EXPECT_EQ("", r.target);
  EXPECT_EQ(40, r.fileSize);
  EXPECT_EQ(2, r.ispType);

  // The worker records the remote folder each dispatch created, as the
  // service names it.
  std::vector<Placement> placed;
  for (size_t i = 1; i <= 5; ++i) {
    UploadTask* t = StartNext(&worker, i);
    ASSERT_NE(nullptr, t);
    placed.emplace_back(t->remotePath, t->target);
    const std::string dir = DirectoryOf(t->filePath);
    if (dir != root_) RecordDirectoryTarget(root_, dir, "ID-" + FileNameOf(dir));
    worker.Complete(t);
  }
  EXPECT_EQ((std::vector<std::string>{LocalPath(root_, "t1"), LocalPath(root_, "t2"),
                                      LocalPath(root_, "a/f"), LocalPath(root_, "a/b/g"),
                                      LocalPath(root_, "a/c/h")}),
            worker.started_paths());
  EXPECT_EQ((std::vector<Placement>{
                {"Root", "T"}, {"Root", "T"}, {"Root/a", "T"}, {"b", "ID-a"}, {"c", "ID-a"}}),
            placed);
  EXPECT_EQ(kCompleted, log_.notices().back().status);
  EXPECT_EQ(nullptr, FindFolder(root_));
}

TEST_F(FolderUploadTest, MemberBelowADirectoryBeingCreatedWaitsWhileASiblingGoesAhead) {
  TestWorker worker;
  Start();
  MakeFiles({"Root/a/b/1", "Root/a/b/2", "Root/a/b/d/4", "Root/a/c/3"});
  Add(root_, "T", true);

  UploadTask* creator = StartNext(&worker, 1);
  ASSERT_NE(nullptr, creator);
  EXPECT_EQ(LocalPath(root_, "a/b/1"), creator->filePath);
  EXPECT_EQ("Root/a/b", creator->remotePath);
  EXPECT_EQ("T", creator->target);
  EXPECT_EQ(Placement("", ""), Resolve(LocalPath(root_, "a/b/2")));
  EXPECT_EQ(Placement("", ""), Resolve(LocalPath(root_, "a/b/d/4")));
  EXPECT_EQ(Placement("Root/a/c", "T"), Resolve(LocalPath(root_, "a/c/3")));

  // The creator's dispatch answered with the new folder's identity.
  ASSERT_TRUE(RecordDirectoryTarget(root_, LocalPath(root_, "a/b"), "IDB"));
  EXPECT_EQ(Placement("", "IDB"), Resolve(LocalPath(root_, "a/b/2")));
  EXPECT_EQ(Placement("d", "IDB"), Resolve(LocalPath(root_, "a/b/d/4")));
  worker.Complete(creator);
}

TEST_F(FolderUploadTest, DirectoryIsFreedWhenItsCreatorEndsWithoutAnAnswer) {
  TestWorker worker;
  Start();
  MakeFiles({"Root/a/1", "Root/a/2", "Root/a/3"});
  Add(root_, "T", true);

  // Stopped before its dispatch answered: the next member creates the folder.
  UploadTask* first = StartNext(&worker, 1);
  ASSERT_NE(nullptr, first);
  ASSERT_TRUE(ChangeTaskState(first->filePath, true, TaskStatus::Stopped));
  worker.End(first);
  UploadTask* second = StartNext(&worker, 2);
  ASSERT_NE(nullptr, second);
  EXPECT_EQ(LocalPath(root_, "a/2"), second->filePath);
  EXPECT_EQ("Root/a", second->remotePath);

  // A failed creator clears its mark itself, as the transfer worker does.
  ClearDirectoryPending(root_, LocalPath(root_, "a"));
  worker.Fail(second, 405);
  UploadTask* third = StartNext(&worker, 3);
  ASSERT_NE(nullptr, third);
  EXPECT_EQ("Root/a", third->remotePath);
  worker.Complete(third);
}

TEST_F(FolderUploadTest, ReaddingAFailedFolderRequeuesExactlyItsFailedMembers) {
  TestWorker worker;
  Start();
  const std::string x = MakeFile("Root/x", 1), y = MakeFile("Root/y", 2);
  const std::string z = MakeFile("Root/s/z", 3);
  Add(root_, "T", true);
  for (size_t i = 1; i <= 3; ++i) {
    UploadTask* t = StartNext(&worker, i);
    ASSERT_NE(nullptr, t);
    if (t->filePath == x) {
      worker.Complete(t);
    } else {
      worker.Fail(t, 405);
    }
  }
  ASSERT_EQ(kFailed, Reports().back().status);
  const std::string text = ErrorMessageText(405);
  EXPECT_EQ((std::map<std::string, std::string>{{y, text}, {z, text}}), Failures(root_));

  log_.clear();
  Add(root_, "T", true);
  EXPECT_FALSE(FindTask(x));
  EXPECT_TRUE(FindTask(y));
  EXPECT_TRUE(FindTask(z));
  EXPECT_EQ(2u, GetQueueTotals().taskCount);
  EXPECT_TRUE(Failures(root_).empty());
  // Only the folder's own report: the old failures no longer count, so the
  // folder is not finished until both have ended again.
  ASSERT_EQ(1u, Reports().size());
  EXPECT_EQ(kWaiting, Reports()[0].status);
  EXPECT_EQ(1, Reports()[0].isFolder);

  UploadTask* again = StartNext(&worker, 4);
  ASSERT_NE(nullptr, again);
  EXPECT_EQ(y, again->filePath);
  worker.Complete(again);
  EXPECT_EQ(1u, Reports().size());
  UploadTask* last = StartNext(&worker, 5);
  ASSERT_NE(nullptr, last);
  worker.Fail(last, 405);
  ASSERT_EQ(2u, Reports().size());
  EXPECT_EQ(kFailed, Reports()[1].status);
  EXPECT_EQ((std::map<std::string, std::string>{{z, text}}), Failures(root_));
}

TEST_F(FolderUploadTest, ReaddingAFolderLeftByTheLastRunQueuesItsStoredMembers) {
  auto section = [this](const std::string& name, int size, int done) {
    return "[" + LocalPath(root_, name) + "]\r\nfileid=F" + name +
           "\r\nquickid=Q\r\npickcode=P\r\n" + "folderpath=" + root_ +
           "\r\nfoldertarget=FT\r\ntarget=\r\nfilesize=" + std::to_string(size) +
           "\r\nuploadsize=" + std::to_string(done) + "\r\nisp=1\r\n";
  };
  std::ofstream(dir_.File("500_upload.ini"), std::ios::binary)
      << section("a", 10, 4) << section("sub/b", 20, 0);
  TestWorker worker;
  Start();
  log_.clear();
  Add(root_, "OTHER", true);
  ASSERT_EQ(1u, log_.size());
  EXPECT_EQ(kWaiting, log_.notices()[0].status);
  EXPECT_EQ(30, log_.notices()[0].totalSize);
  EXPECT_EQ(4, log_.notices()[0].doneSize);
  UploadTask* a = RegisteredTask(LocalPath(root_, "a"));
  ASSERT_NE(nullptr, a);
  EXPECT_EQ("Fa", ResumeRecordOf(*a).fileId);
  EXPECT_EQ(4, a->uploadedSize.load());
  EXPECT_EQ("FT", a->folderTarget);
  EXPECT_EQ(2u, GetQueueTotals().taskCount);

  UploadTask* t = StartNext(&worker, 1);
  ASSERT_EQ(a, t);
  EXPECT_EQ(Placement("Root", "FT"), Placement(t->remotePath, t->target));
  worker.Complete(t);
  t = StartNext(&worker, 2);
  ASSERT_NE(nullptr, t);
  EXPECT_EQ(Placement("Root/sub", "FT"), Placement(t->remotePath, t->target));
  worker.Complete(t);
  EXPECT_EQ(kCompleted, log_.notices().back().status);
}

// A crash while a folder's member records were being written leaves only part
// of the set. Taken as the whole folder, it would upload those members and
// report the folder complete; its records say the set is partial, so adding it
// again lists it anew and keeps what the records know.
TEST_F(FolderUploadTest, AFolderWhoseRecordsWereCutShortIsListedAgain) {
  MakeFiles({"Root/a", "Root/b", "Root/sub/c"});
  std::ofstream(dir_.File("500_upload.ini"), std::ios::binary)
      << "[" << LocalPath(root_, "a")
      << "]\r\nfileid=Fa\r\nquickid=Qa\r\npickcode=P\r\nfolderpath=" << root_
      << "\r\nfoldertarget=FT\r\ntarget=\r\nfilesize=1\r\nuploadsize=0\r\nisp=1\r\nfolderset=0\r\n";
  TestWorker worker;
  Start();
  Add(root_, "OTHER", true);
  EXPECT_EQ(3u, GetQueueTotals().taskCount);
  UploadTask* a = RegisteredTask(LocalPath(root_, "a"));
  ASSERT_NE(nullptr, a);
  EXPECT_EQ("Fa", ResumeRecordOf(*a).fileId);
  EXPECT_EQ("FT", a->folderTarget);
  ASSERT_NE(nullptr, RegisteredTask(LocalPath(root_, "sub/c")));

  // The set written now is marked whole.
  for (const char* name : {"a", "b", "sub/c"}) {
    ResumeRecord r;
    ASSERT_TRUE(ReadResumeRecord(LocalPath(root_, name), &r)) << name;
    EXPECT_EQ(true, r.folderSetComplete) << name;
  }
}

// A member that can never upload (here an empty file) must not keep its
// folder failing at every resume: it is recorded as failed, listed among the
// folder's failures after a restart, never queued again, and once nothing
// else is left the folder is over.
TEST_F(FolderUploadTest, AMemberThatCanNeverUploadIsNotRetried) {
  const std::string e = MakeFile("Root/empty", 0), x = MakeFile("Root/x", 1);
  TestWorker worker;
  Start();
  Add(root_, "FT", true);
  UploadTask* t = StartNext(&worker, 1);
  ASSERT_NE(nullptr, t);
  EXPECT_EQ(x, t->filePath);
  StopEngine();  // interrupted: x stays unfinished
  worker.End(t);

  log_.clear();
  Start();
  EXPECT_EQ(kStopped, Reports().back().status);
  EXPECT_EQ(1u, Failures(root_).count(e)) << "the failure is not remembered";
  Add(root_, "FT", true);
  EXPECT_FALSE(FindTask(e));
  t = StartNext(&worker, 2);
  ASSERT_NE(nullptr, t);
  EXPECT_EQ(x, t->filePath);
  worker.Complete(t);
  EXPECT_EQ(kFailed, Reports().back().status);
  EXPECT_EQ(1u, Failures(root_).count(e));
  StopEngine();

  log_.clear();
  Start();
  for (const TaskNotice& n : log_.notices()) EXPECT_NE(root_, n.path) << "the folder came back";
  ResumeRecord r;
  EXPECT_FALSE(ReadResumeRecord(e, &r));
}

TEST_F(FolderUploadTest, StoredMembersWithoutAFolderRecordComeBackFromTheStore) {
  Start();
  ResumeRecord r;
  r.fileId = "FX";
  r.quickId = "QX";
  r.folderPath = root_;
  r.folderTarget = "FT";
  r.fileSize = 10;
  r.uploadedSize = 3;
  r.modifiedTime = 42;  // what tells the worker whether the file changed since
  ASSERT_TRUE(SaveResumeRecord(LocalPath(root_, "x"), r, false));
  r.fileId = "FY";
  r.fileSize = 20;
  r.uploadedSize = 0;
  ASSERT_TRUE(SaveResumeRecord(LocalPath(root_, "y"), r, false));
  MakeFile("Root/new", 5);  // not part of that upload

  Add(root_, "T2", true, 1);
  FolderRef f = FindFolder(root_);
  ASSERT_NE(nullptr, f);
  EXPECT_EQ("FT", f->target);
  ASSERT_EQ(1u, log_.size());
  EXPECT_EQ(30, log_.notices()[0].totalSize);
  EXPECT_EQ(3, log_.notices()[0].doneSize);
  EXPECT_EQ(2u, GetQueueTotals().taskCount);
  UploadTask* x = RegisteredTask(LocalPath(root_, "x"));
  ASSERT_NE(nullptr, x);
  const ResumeRecord x_fields = ResumeRecordOf(*x);
  EXPECT_EQ("FX", x_fields.fileId);
  EXPECT_EQ("QX", x_fields.quickId);
  EXPECT_EQ(3, x->uploadedSize.load());
  EXPECT_EQ(1, x->ispType);
  EXPECT_EQ(42, x_fields.modifiedTime);
}

TEST_F(FolderUploadTest, AutoStartOffLeavesOnlyTheRecords) {
  Start();
  const std::string x = MakeFile("Root/x", 5), y = MakeFile("Root/s/y", 7);
  Add(root_, "T", false);
  const std::vector<TaskNotice> n = log_.notices();
  ASSERT_EQ(2u, n.size());
  EXPECT_EQ(kStopped, n[0].status);
  EXPECT_EQ(kStopped, n[1].status);
  EXPECT_EQ(12, n[1].totalSize);
  EXPECT_EQ(0u, GetQueueTotals().taskCount);
  ResumeRecord r;
  ASSERT_TRUE(ReadResumeRecord(x, &r));
  EXPECT_EQ(root_, r.folderPath);
  ASSERT_TRUE(ReadResumeRecord(y, &r));
  EXPECT_EQ(7, r.fileSize);

  // Started later by adding it again.
  Add(root_, "T", true);
  EXPECT_EQ(kWaiting, log_.notices().back().status);
  EXPECT_TRUE(FindTask(x));
  EXPECT_TRUE(FindTask(y));
}

TEST_F(FolderUploadTest, StopOrCancelWhileTheFolderIsListedIsHonoured) {
  Start();
  const std::string x = MakeFile("Root/x", 5);
  TEST_SetFolderListedHook([this] {
    ChangeTaskState(root_, true, TaskStatus::Stopped);
    TEST_WaitForFolderWorkers(10000);
  });
  Add(root_, "T", true);
  EXPECT_EQ(0u, GetQueueTotals().taskCount);
  EXPECT_EQ(kStopped, Reports().back().status);
  EXPECT_EQ(5, Reports().back().totalSize);
  ResumeRecord r;
  EXPECT_TRUE(ReadResumeRecord(x, &r));

  // Cancelled: nothing stays behind.
  const std::string other = dir_.File("Other");
  const std::string z = MakeFile("Other/z", 3);
  TEST_SetFolderListedHook([other] {
    CancelTask(other);
    TEST_WaitForFolderWorkers(10000);
  });
  Add(other, "T", true);
  EXPECT_EQ(0u, GetQueueTotals().taskCount);
  EXPECT_FALSE(ReadResumeRecord(z, &r));
  EXPECT_EQ(nullptr, FindFolder(other));
}

// A folder stop or cancel that comes while the folder's thread registers its
// members: the member being registered right then must not be missed (and
// upload after a stop, or stay queued after a cancel).
TEST_F(FolderUploadTest, AStopOrCancelDuringTheRegistrationMissesNoMember) {
  for (const TaskStatus status : {TaskStatus::Stopped, TaskStatus::Cancelled}) {
    SCOPED_TRACE(static_cast<int>(status));
    const std::string folder = dir_.File(status == TaskStatus::Stopped ? "S" : "C");
    const std::string x =
        MakeFile((status == TaskStatus::Stopped ? "S" : "C") + std::string("/x"), 5);
    Start();
    bool once = false;
    TEST_SetFolderRegisteringHook([&] {
      if (once) return;
      once = true;
      ASSERT_TRUE(ChangeTaskState(folder, true, status));
      // Let the stop or cancel go as far as it can before the member is registered.
      TEST_WaitForFolderWorkers(1000);
    });
    Add(folder, "T", true);
    TEST_SetFolderRegisteringHook(nullptr);
    ASSERT_TRUE(TEST_WaitForFolderWorkers(10000));
    EXPECT_TRUE(once);
    EXPECT_FALSE(FindTask(x)) << "the member stayed queued";
    EXPECT_EQ(0u, GetQueueTotals().taskCount);
    ResumeRecord r;
    EXPECT_EQ(status == TaskStatus::Stopped, ReadResumeRecord(x, &r));
    StopEngine();
  }
}

// A member queued already as a single file: the folder counts it as failed,
// so it ends once its other members have, and the single file keeps its own
// record and target.
TEST_F(FolderUploadTest, AMemberQueuedAlreadyOnItsOwnFailsInTheFolder) {
  const std::string f1 = MakeFile("Root/f1", 1), f2 = MakeFile("Root/f2", 1);
  TestWorker worker;
  Start();
  ASSERT_TRUE(AddFileTask(f1, "SINGLE", 0, "", "", true));
  Add(root_, "FT", true);
  EXPECT_EQ(2u, GetQueueTotals().taskCount);
  ResumeRecord r;
  ASSERT_TRUE(ReadResumeRecord(f1, &r));
  EXPECT_EQ("", r.folderPath) << "the member's record replaced the single file's";
  EXPECT_EQ("SINGLE", r.target);

  UploadTask* t = StartNext(&worker, 1);
  ASSERT_NE(nullptr, t);
  EXPECT_EQ(f1, t->filePath);
  worker.Complete(t);
  t = StartNext(&worker, 2);
  ASSERT_NE(nullptr, t);
  EXPECT_EQ(f2, t->filePath);
  worker.Complete(t);
  const TaskNotice last = Reports().back();
  EXPECT_EQ(root_, last.path);
  EXPECT_EQ(kFailed, last.status) << "the folder never ends";
  EXPECT_EQ(1u, Failures(root_).count(f1));
}

TEST_F(FolderUploadTest, StopEngineWaitsForAFolderStillBeingListed) {
  Start();
  const std::string x = MakeFile("Root/a/x", 5);
  std::mutex mu;
  std::condition_variable cv;
  bool listed = false;
  bool release = false;
  TEST_SetFolderListedHook([&] {
    std::unique_lock<std::mutex> l(mu);
    listed = true;
    cv.notify_all();
    cv.wait(l, [&] { return release; });
  });
  ASSERT_TRUE(AddFolderTask(root_, "T", 0, true));
  {
    std::unique_lock<std::mutex> l(mu);
    ASSERT_TRUE(cv.wait_for(l, std::chrono::seconds(10), [&] { return listed; }));
  }
  std::atomic<bool> stopped{false};
  std::thread stopper([&stopped] {
    StopEngine();
    stopped.store(true);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(stopped.load()) << "the stop returned while the folder was still being listed";
  {
    std::lock_guard<std::mutex> l(mu);
    release = true;
  }
  cv.notify_all();
  stopper.join();
  EXPECT_TRUE(TEST_WaitForFolderUploads(0)) << "a listing thread outlived the stop";

  // The interrupted listing left nothing for the next start.
  log_.clear();
  Start();
  EXPECT_EQ(0u, GetQueueTotals().taskCount);
  EXPECT_EQ(nullptr, FindFolder(root_));
  EXPECT_EQ(0u, log_.size());
  ResumeRecord r;
  EXPECT_FALSE(ReadResumeRecord(x, &r));
}

TEST_F(FolderUploadTest, FolderThatStartsUploadingDuringItsRegistrationRegistersTheRest) {
  // The folder's report with its total comes just before its members are
  // registered; a transfer of a first member would mark the folder Uploading.
  NoticeCallback log = log_.Callback();
  StartEngine(
      [this, log](TaskNotice n) {
        if (n.isFolder == 1 && n.totalSize > 0) {
          FolderRef f = FindFolder(root_);
          if (f) f->status.store(static_cast<int32_t>(TaskStatus::Uploading));
        }
        log(std::move(n));
      },
      77);
  MakeFiles({"Root/1", "Root/2", "Root/3"});
  Add(root_, "T", true);
  EXPECT_EQ(3u, GetQueueTotals().taskCount);
}

TEST_F(FolderUploadTest, FailuresOfTheFolderItselfAreKeptUnderItsPath) {
  Start();
  // Only empty sub-folders.
  std::filesystem::create_directories(LocalPath(root_, "e1"));
  std::filesystem::create_directories(LocalPath(root_, "e2/deeper"));
  std::filesystem::create_directories(LocalPath(root_, "e3"));
  Add(root_, "T", true);
  ASSERT_EQ(2u, log_.size());
  EXPECT_EQ(kFailed, log_.notices()[1].status);
  EXPECT_EQ(Utf8ToAnsi("空文件夹不能上传"), Failures(root_)[root_]);
  EXPECT_EQ(1u, Failures(root_).size());
  // Added again once it holds a file, it is listed anew.
  const std::string late = MakeFile("Root/e2/late", 4);
  log_.clear();
  Add(root_, "T", true);
  EXPECT_TRUE(FindTask(late));
  EXPECT_EQ(4, log_.notices().back().totalSize);
  EXPECT_TRUE(Failures(root_).empty());

  const std::string missing = dir_.File("missing");
  Add(missing, "T", true);
  EXPECT_EQ(kFailed, log_.notices().back().status);
  EXPECT_EQ(Utf8ToAnsi("获取文件夹列表失败"), Failures(missing)[missing]);

  // Without a target its members could never be placed.
  const std::string untargeted = dir_.File("U");
  MakeFile("U/file", 3);
  Add(untargeted, "", true);
  EXPECT_EQ(kFailed, log_.notices().back().status);
  EXPECT_EQ(ErrorMessageText(kErrNoTarget), Failures(untargeted)[untargeted]);
  EXPECT_EQ(1u, GetQueueTotals().taskCount);  // only `late`
}

TEST_F(FolderUploadTest, MemberThatTheStoreCannotHoldFailsAlone) {
#if defined(_WIN32)
  GTEST_SKIP() << "Windows file names cannot hold the line break such a member needs";
#endif
  Start();
  const std::string good = MakeFile("Root/good", 3), bad = MakeFile("Root/bad\nname", 3);
  Add(root_, "T", true);
  EXPECT_TRUE(FindTask(good));
  EXPECT_FALSE(FindTask(bad));
  ResumeRecord r;
  EXPECT_FALSE(ReadResumeRecord(bad, &r));
  EXPECT_EQ(ErrorMessageText(123), Failures(root_)[bad]);
}

TEST_F(FolderUploadTest, SecondRequestWhileListingChangesNothing) {
  Start();
  constexpr int kFiles = 300;
  for (int i = 0; i < kFiles; ++i) {
    MakeFile("Root/d" + std::to_string(i % 7) + "/f" + std::to_string(i), 1);
  }
  ASSERT_TRUE(AddFolderTask(root_, "T", 0, true));
  ASSERT_TRUE(AddFolderTask(root_, "T", 0, true));
  ASSERT_TRUE(TEST_WaitForFolderUploads(10000));
  for (const TaskNotice& n : log_.notices()) EXPECT_NE(kFailed, n.status);
  EXPECT_TRUE(Failures(root_).empty());
  EXPECT_EQ(static_cast<size_t>(kFiles), GetQueueTotals().taskCount);
}

}  // namespace
}  // namespace vexa
