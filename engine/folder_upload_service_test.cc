// Folder uploads against the real service: the tree that arrives, the remote
// folders the members' dispatches create, and what re-adding a folder sends.

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "codec/text.h"
#include "engine/folder_upload.h"
#include "engine/transfer_test_support.h"
#include "store/resume_store.h"

namespace vexa {
namespace {

class FolderServiceTest : public TransferServiceTest {
 protected:
  void SetUp() override {
    TransferServiceTest::SetUp();
    InstallFolderUploads();
    root_ = dir_.File("Root");
  }
  void TearDown() override {
    EXPECT_TRUE(TEST_WaitForFolderUploads(10000));
    TransferServiceTest::TearDown();
    SetFolderUploadStarter(nullptr);
    SetTargetResolver(nullptr);
  }

  // A file below Root with content made from `seed`; returns its content.
  std::string MakeMember(const std::string& relative, size_t size, unsigned seed) {
    std::filesystem::create_directories(
        std::filesystem::path(root_ + "/" + relative).parent_path());
    std::string content = RandomContent(size, seed);
    MakeFile("Root/" + relative, content);
    return content;
  }

  // The folder's next final report (Completed or Failed) after `after` notices.
  TaskNotice WaitFolderEnd(size_t after = 0) {
    TaskNotice n;
    size_t seen = 0;
    EXPECT_TRUE(log_.WaitFor(
        [&](const TaskNotice& t) {
          return seen++ >= after && t.path == root_ && t.isFolder == 1 &&
                 (t.status == kCompleted || t.status == kFailed);
        },
        &n, 60000));
    return n;
  }

  // The dispatch requests sent, with their form values as sent (encoded).
  struct Dispatch {
    std::string name, path, target;
  };
  std::vector<Dispatch> Dispatches() {
    std::vector<Dispatch> out;
    for (const std::string& r : recorder_.Requests("/app/upload")) {
      out.push_back({RequestRecorder::FormValue(r, "filename"),
                     RequestRecorder::FormValue(r, "path"),
                     RequestRecorder::FormValue(r, "target")});
    }
    return out;
  }
  static std::string Encoded(const std::string& text) { return UrlEncode(Utf8ToWide(text)); }

  // path -> sha1 of the account's files.
  std::map<std::string, std::string> Tree() {
    std::map<std::string, std::string> out;
    const Json::Value files = ExportedFiles();
    for (const std::string& path : files.getMemberNames())
      out[path] = files[path]["sha1"].asString();
    return out;
  }

  std::string root_;
};

TEST_F(FolderServiceTest, TreeArrivesWholeAndEachSubFolderIsCreatedByOneDispatch) {
  // The third dispatch (the first member of a/b, which creates it) is held, so
  // the other members can be looked at while a/b is being created.
  StartService({"--faults", "dispatch:delay=1*2,dispatch:delay=2500*1"});
  std::map<std::string, std::string> want;
  want["Root/t1"] = Sha1Of(MakeMember("t1", 1000, 1));
  want["Root/t2"] = Sha1Of(MakeMember("t2", 2000, 2));
  want["Root/a/b/x1"] = Sha1Of(MakeMember("a/b/x1", 3000, 3));
  want["Root/a/b/x2"] = Sha1Of(MakeMember("a/b/x2", 4000, 4));
  want["Root/a/c/y1"] = Sha1Of(MakeMember("a/c/y1", 5000, 5));
  std::filesystem::create_directories(root_ + "/empty");
  const std::string target = GetDefaultTarget();
  ASSERT_TRUE(AddFolderTask(root_, target, 0, true));

  // While x1's dispatch is on its way, x2 (same directory) and a member deeper
  // down would wait; y1 (the sibling a/c) may go ahead.
  // The recorder sees the head and the form body as separate sends: wait for the body too.
  ASSERT_TRUE(Eventually([this] {
    const std::vector<Dispatch> d = Dispatches();
    return d.size() == 3 && !d[2].name.empty();
  }));
  EXPECT_EQ(Encoded("x1"), Dispatches()[2].name);
  struct Probe {
    std::string member, remote_path, target;
  };
  std::vector<Probe> probes = {{root_ + "/a/b/x2", "", ""}, {root_ + "/a/c/y1", "", ""}};
  for (Probe& p : probes) {
    ASSERT_TRUE(FindTask(p.member, [&p](UploadTask& task) {
      EXPECT_TRUE(ResolveTarget(&task, DirectoryOf(p.member), &p.remote_path, &p.target));
    }));
  }
  EXPECT_EQ("", probes[0].target) << "x2 must wait for a/b";
  EXPECT_EQ("Root/a/c", probes[1].remote_path);
  EXPECT_EQ(target, probes[1].target);

  const TaskNotice end = WaitFolderEnd();
  ASSERT_EQ(kCompleted, end.status) << end.errorCode;
  EXPECT_EQ(15000, end.doneSize);
  EXPECT_EQ(want, Tree()) << "the empty folder and nothing else is left out";

  // Each dispatch names the remote folders still to be created below its
  // target: b once, by x1; x2 goes into the folder x1's answer named.
  const std::vector<Dispatch> d = Dispatches();
  ASSERT_EQ(5u, d.size());
  std::map<std::string, Dispatch> by_name;
  for (const Dispatch& x : d) by_name[x.name] = x;
  EXPECT_EQ(Encoded("Root"), by_name[Encoded("t1")].path);
  EXPECT_EQ(target, by_name[Encoded("t1")].target);
  EXPECT_EQ(Encoded("Root"), by_name[Encoded("t2")].path);
  EXPECT_EQ(Encoded("Root/a/b"), by_name[Encoded("x1")].path);
  EXPECT_EQ(target, by_name[Encoded("x1")].target);
  EXPECT_EQ("", by_name[Encoded("x2")].path);
  EXPECT_NE(target, by_name[Encoded("x2")].target);
  EXPECT_FALSE(by_name[Encoded("x2")].target.empty());
  EXPECT_EQ(Encoded("Root/a/c"), by_name[Encoded("y1")].path);
  EXPECT_EQ(target, by_name[Encoded("y1")].target);
  ResumeRecord r;
  EXPECT_FALSE(ReadResumeRecord(root_ + "/a/b/x2", &r)) << "completed members keep no record";
}

TEST_F(FolderServiceTest, ReaddingAFailedFolderSendsExactlyItsFailedMembersAgain) {
  StartService({"--faults", "dispatch:fail*2"});
  std::map<std::string, std::string> want;
  for (unsigned i = 1; i <= 4; ++i) {
    const std::string name = "f" + std::to_string(i);
    want["Root/" + name] = Sha1Of(MakeMember(name, 1000 * i, i));
  }
  ASSERT_TRUE(AddFolderTask(root_, GetDefaultTarget(), 0, true));
  TaskNotice end = WaitFolderEnd();
  ASSERT_EQ(kFailed, end.status);
  std::map<std::string, std::string> failures;
  ASSERT_TRUE(CopyFolderFailures(root_, &failures));
  EXPECT_EQ(2u, failures.size());
  EXPECT_EQ(1u, failures.count(root_ + "/f1"));
  EXPECT_EQ(1u, failures.count(root_ + "/f2"));
  EXPECT_EQ(2u, Tree().size());
  ASSERT_TRUE(WaitIdle());

  const size_t before = Dispatches().size();
  const size_t notices = log_.size();
  ASSERT_TRUE(AddFolderTask(root_, GetDefaultTarget(), 0, true));
  end = WaitFolderEnd(notices);
  ASSERT_EQ(kCompleted, end.status);
  std::vector<std::string> again;
  const std::vector<Dispatch> d = Dispatches();
  for (size_t i = before; i < d.size(); ++i) again.push_back(d[i].name);
  EXPECT_EQ((std::vector<std::string>{Encoded("f1"), Encoded("f2")}), again);
  EXPECT_EQ(want, Tree());
  EXPECT_EQ(nullptr, FindFolder(root_)) << "a completed folder is forgotten";
}

TEST_F(FolderServiceTest, AutoStartOffKeepsOnlyRecordsUntilTheFolderIsAddedAgain) {
  StartService();
  std::map<std::string, std::string> want;
  want["Root/x"] = Sha1Of(MakeMember("x", 700, 1));
  want["Root/d/y"] = Sha1Of(MakeMember("d/y", 800, 2));
  ASSERT_TRUE(AddFolderTask(root_, GetDefaultTarget(), 0, false));
  ASSERT_TRUE(TEST_WaitForFolderUploads(10000));
  const std::vector<TaskNotice> n = log_.notices();
  ASSERT_FALSE(n.empty());
  EXPECT_EQ(kStopped, n.back().status);
  EXPECT_EQ(1500, n.back().totalSize);
  EXPECT_EQ(0u, GetQueueTotals().taskCount);
  ResumeRecord r;
  ASSERT_TRUE(ReadResumeRecord(root_ + "/d/y", &r));
  EXPECT_EQ(root_, r.folderPath);
  // Two scheduler passes later still nothing was asked of the service.
  const uint64_t passes = TEST_SchedulerPasses();
  TestClock().Advance(1000);
  ASSERT_TRUE(TEST_WaitForSchedulerPass(passes + 1, 5000));
  EXPECT_TRUE(Dispatches().empty());
  EXPECT_TRUE(Tree().empty());

  const size_t notices = log_.size();
  ASSERT_TRUE(AddFolderTask(root_, GetDefaultTarget(), 0, true));
  ASSERT_EQ(kCompleted, WaitFolderEnd(notices).status);
  EXPECT_EQ(want, Tree());
}

TEST_F(FolderServiceTest, FolderOfOnlyEmptySubFoldersFailsWithItsText) {
  StartService();
  for (const char* sub : {"e1", "e2/deeper", "e3"})
    std::filesystem::create_directories(root_ + "/" + sub);
  ASSERT_TRUE(AddFolderTask(root_, GetDefaultTarget(), 0, true));
  const TaskNotice end = WaitFolderEnd();
  EXPECT_EQ(kFailed, end.status);
  std::map<std::string, std::string> failures;
  ASSERT_TRUE(CopyFolderFailures(root_, &failures));
  EXPECT_EQ((std::map<std::string, std::string>{{root_, Utf8ToAnsi("空文件夹不能上传")}}),
            failures);
  EXPECT_TRUE(Dispatches().empty());
  EXPECT_TRUE(Tree().empty());
}

}  // namespace
}  // namespace vexa
