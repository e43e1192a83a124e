// The control without a service: the current-control rule, the message
// queue, the task list and the selection and link seams.
#include "control/control.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "account/session.h"
#include "account/test_data_dir.h"
#include "codec/text.h"
#include "control/control_task_list.h"
#include "control/page_script_policy.h"
#include "control/selection_reports.h"
#include "control/test_script_host.h"
#include "engine/test_worker.h"
#include "port/event.h"

namespace vexa {
namespace {

TaskNotice Notice(const std::string& path, TaskStatus status, int64_t done = 0) {
  TaskNotice n;
  n.fileName = path.substr(path.rfind('/') + 1);
  n.path = path;
  n.totalSize = 100;
  n.doneSize = done;
  n.status = static_cast<int32_t>(status);
  n.queueSummary = kEmptyQueueSummary;
  return n;
}

TEST(MessageQueueTest, KeepsEachPostersOrderAndOwnsTheTexts) {
  MessageQueue queue;
  constexpr int kThreads = 4, kEach = 2000;
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&queue, t] {
      for (int i = 0; i < kEach; ++i) {
        queue.Post(kProgressMessage,
                   std::make_unique<std::string>(std::to_string(t) + ":" + std::to_string(i)));
      }
    });
  }
  std::vector<int> next(kThreads, 0);
  int seen = 0;
  while (seen < kThreads * kEach) {
    queue.Wait(1000);
    for (const QueuedMessage& m : queue.TakeAll()) {
      const int t = std::stoi(*m.text);
      ASSERT_EQ(next[t], std::stoi(m.text->substr(m.text->find(':') + 1)));
      ++next[t];
      ++seen;
    }
  }
  for (std::thread& p : posters) p.join();
  EXPECT_EQ(0u, queue.size());
}

TEST(MessageQueueTest, ClosedQueueDropsWhatIsPosted) {
  MessageQueue queue;
  int wakeups = 0;
  queue.SetWakeup([&wakeups] { ++wakeups; });
  EXPECT_TRUE(queue.Post(kLoginMessage, std::make_unique<std::string>("1|ok")));
  EXPECT_EQ(1, wakeups);
  queue.Close();
  EXPECT_FALSE(queue.Post(kLoginMessage, std::make_unique<std::string>("late")));
  EXPECT_EQ(1, wakeups);
  EXPECT_TRUE(queue.TakeAll().empty());
  EXPECT_FALSE(queue.Wait(0));
}

// The COM host hands every post to its window instead of queuing it.
TEST(MessageQueueTest, ForwardTakesEachPostInOrderUntilClosed) {
  MessageQueue queue;
  std::vector<std::pair<uint32_t, std::string>> forwarded;
  queue.SetForward([&forwarded](uint32_t id, std::unique_ptr<std::string> text) {
    forwarded.emplace_back(id, *text);
  });
  EXPECT_TRUE(queue.Post(kLoginMessage, std::make_unique<std::string>("1|ok")));
  EXPECT_TRUE(queue.Post(kProgressMessage, std::make_unique<std::string>("row")));
  EXPECT_EQ(0u, queue.size());
  ASSERT_EQ(2u, forwarded.size());
  EXPECT_EQ(kLoginMessage, forwarded[0].first);
  EXPECT_EQ("1|ok", forwarded[0].second);
  EXPECT_EQ("row", forwarded[1].second);
  queue.Close();
  EXPECT_FALSE(queue.Post(kLoginMessage, std::make_unique<std::string>("late")));
  EXPECT_EQ(2u, forwarded.size());
}

// A host creates its control and only then sets the forward to its own
// window: what was posted in between is handed over, not left in a queue
// the host never reads.
TEST(MessageQueueTest, SettingAForwardHandsOverWhatWasQueued) {
  MessageQueue queue;
  EXPECT_TRUE(queue.Post(kLoginMessage, std::make_unique<std::string>("1|ok")));
  EXPECT_TRUE(queue.Post(kProgressMessage, std::make_unique<std::string>("row")));
  std::vector<std::string> forwarded;
  queue.SetForward(
      [&forwarded](uint32_t, std::unique_ptr<std::string> text) { forwarded.push_back(*text); });
  EXPECT_TRUE(queue.Post(kProgressMessage, std::make_unique<std::string>("later")));
  EXPECT_EQ((std::vector<std::string>{"1|ok", "row", "later"}), forwarded);
  EXPECT_EQ(0u, queue.size());
}

class ControlTest : public ::testing::Test {
 protected:
  void SetUp() override { TaskList().Clear(); }
  void TearDown() override { TaskList().Clear(); }

  // A chooser that logs its calls and prints `answer` (exit 1: cancelled).
  void UseChooser(const std::string& answer, int status = 0) {
    UseScriptedChooser(data_.File(""), answer, status);
  }
  std::string ChooserLog() { return ReadWholeFile(data_.File("chooser.log")); }

  TestDataDir data_;
};

TEST_F(ControlTest, TheNewestLiveControlIsCurrent) {
  EXPECT_FALSE(HasCurrentControl());
  EXPECT_FALSE(PostToCurrentControl(kLoginMessage, "lost"));
  auto first = std::make_unique<CUpload>();
  {
    CUpload second;
    EXPECT_TRUE(PostToCurrentControl(kLoginMessage, "to second"));
    EXPECT_EQ(1u, second.messages().size());
    EXPECT_EQ(0u, first->messages().size());
  }
  // With the newer one gone, reports reach the one before it again.
  EXPECT_TRUE(PostToCurrentControl(kLoginMessage, "to first"));
  EXPECT_EQ(1u, first->messages().size());
  first.reset();
  EXPECT_FALSE(HasCurrentControl());
}

TEST_F(ControlTest, ControlsComeAndGoWhileEngineThreadsReport) {
  std::atomic<bool> stop{false};
  std::vector<std::thread> engine_threads;
  for (int t = 0; t < 3; ++t) {
    engine_threads.emplace_back([&stop, t] {
      for (int i = 0; !stop.load(); ++i) {
        OnTaskNotice(Notice("/r/" + std::to_string(t) + "-" + std::to_string(i % 50),
                            TaskStatus::Uploading, i));
        PostToCurrentControl(kSelectFileMessage, "/picked");
      }
    });
  }
  size_t fired = 0;
  for (int round = 0; round < 200; ++round) {
    CUpload control;
    control.SetEventSink([&fired](const EventInfo&, const std::u16string&) { ++fired; });
    control.messages().Wait(50);
    control.DispatchMessages();
  }
  stop.store(true);
  for (std::thread& t : engine_threads) t.join();
  EXPECT_GT(fired, 0u);
}

TEST_F(ControlTest, ReportsPostedWhileControlsAreSetUpAllArrive) {
  std::atomic<bool> stop{false};
  std::atomic<int> accepted{0}, forwarded{0};
  std::thread poster([&] {
    while (!stop.load()) {
      if (PostToCurrentControl(kProgressMessage, "row")) ++accepted;
    }
  });
  std::vector<std::unique_ptr<CUpload>> controls;
  for (int i = 0; i < 500; ++i) {
    auto control = std::make_unique<CUpload>();
    // A host sets up more than its forward meanwhile (a window, a sink).
    const int seen = accepted.load();
    while (i % 10 == 0 && accepted.load() == seen) std::this_thread::yield();
    control->messages().SetForward(
        [&forwarded](uint32_t, std::unique_ptr<std::string>) { ++forwarded; });
    controls.push_back(std::move(control));
  }
  stop.store(true);
  poster.join();
  EXPECT_EQ(accepted.load(), forwarded.load());
}

// Only the release of the last live control ends the session: a page's
// throwaway control, or a second tab closing, leaves the others' uploads.
TEST_F(ControlTest, OnlyTheLastLiveControlLogsOutOnRelease) {
  for (const bool newest_first : {true, false}) {
    LogoutAccount();
    ASSERT_TRUE(ApplyLoginAnswer(R"({"state": true, "user_id": "500", "size_limit": 1000})", "a",
                                 "d", false, false, LogoutCount()));
    auto older = std::make_unique<CUpload>();
    auto newer = std::make_unique<CUpload>();
    (newest_first ? newer : older).reset();
    EXPECT_TRUE(IsLoggedIn()) << newest_first;
    EXPECT_TRUE(HasCurrentControl());
    (newest_first ? older : newer).reset();
    EXPECT_FALSE(IsLoggedIn()) << newest_first;
  }
}

// The scheduler reports with the engine lock held while a page, inside a
// LoadTaskEvent handler, stops an upload (which takes the engine lock):
// neither may wait for the other.
TEST_F(ControlTest, APageStopsFromLoadTaskWhileTheSchedulerReports) {
  TEST_SetSchedulerThreadEnabled(false);
  LogoutAccount();
  ASSERT_TRUE(ApplyLoginAnswer(R"({"state": true, "user_id": "500", "size_limit": 1000000})", "a",
                               "d", false, false, LogoutCount()));
  TestWorker worker;
  std::atomic<bool> in_pass{false};
  port::Event reporting;  // set by a report made inside the pass, under the engine lock
  StartEngine(
      [&](TaskNotice n) {
        if (in_pass.load()) reporting.Set();
        OnTaskNotice(std::move(n));
      },
      0);
  const std::string path = data_.File("big.bin");
  std::ofstream(path, std::ios::binary) << std::string(1000, 'x');
  ASSERT_TRUE(AddFileTask(path, "/t", 0, "", "", true));
  if (!TaskList().Contains(path)) OnTaskNotice(Notice(path, TaskStatus::Waiting));

  CUpload control;
  control.KeepSessionOnRelease();
  std::future<void> pass;
  bool saw_pass = false;
  control.SetEventSink([&](const EventInfo& e, const std::u16string&) {
    if (e.dispid != kLoadTaskEvent || pass.valid()) return;
    pass = std::async(std::launch::async, [&] {
      in_pass.store(true);
      RunSchedulerPass();
    });
    saw_pass = reporting.Wait(10000);
    control.StopUpload(Utf8ToWide(path));
  });
  std::future<void> page = std::async(std::launch::async, [&] { control.LoadTask(); });
  if (page.wait_for(std::chrono::seconds(10)) != std::future_status::ready ||
      pass.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    // Both threads wait on each other for good: nothing here can end them.
    std::fprintf(stderr, "deadlock: the page and the scheduler wait on each other\n");
    std::_Exit(1);
  }
  EXPECT_TRUE(saw_pass);
  EXPECT_FALSE(FindTask(path));  // the stop went through
  StopEngine();
  LogoutAccount();
  TEST_SetSchedulerThreadEnabled(true);
}

TEST_F(ControlTest, NoticesFillTheTaskListAndReachThePageInOrder) {
  TestScriptHost host;
  OnTaskNotice(Notice("/d/a", TaskStatus::Waiting));
  OnTaskNotice(Notice("/d/b", TaskStatus::Stopped));
  OnTaskNotice(Notice("/d/a", TaskStatus::Uploading, 50));
  OnTaskNotice(Notice("/d/c", TaskStatus::Waiting));
  OnTaskNotice(Notice("/d/c", TaskStatus::Completed, 100));
  host.Pump(0);
  host.dispatcher().DispatchEvents();
  // Every report fires, in posting order, the Completed one included.
  std::vector<std::string> reported;
  for (const std::string& p : host.Payloads("ProgressEvent")) {
    auto f = SplitProgressFields(p);
    reported.push_back(f[1] + " " + f[6]);
  }
  EXPECT_EQ((std::vector<std::string>{"/d/a 0", "/d/b 3", "/d/a 2", "/d/c 0", "/d/c 5"}), reported);
  // LoadTask replays the latest row of each path in first-report order and
  // no longer knows the completed one; its events precede its answer.
  host.ClearLines();
  host.Call("LoadTask");
  const std::vector<std::string> lines = host.Lines();
  ASSERT_EQ(3u, lines.size());
  EXPECT_EQ("LoadTaskEvent", TestScriptHost::Parse(lines[0])["event"].asString());
  EXPECT_TRUE(TestScriptHost::Parse(lines[2]).isMember("result"));
  auto rows = host.Rows("/d/a", "LoadTaskEvent");
  ASSERT_EQ(1u, rows.size());
  EXPECT_EQ("50", rows[0][3]);
  EXPECT_EQ(1u, host.Rows("/d/b", "LoadTaskEvent").size());

  // CancelUpload drops the row even with the engine stopped; Logout empties
  // the list.
  host.Call("CancelUpload", "[\"/d/a\"]");
  EXPECT_EQ(1u, TaskList().size());
  host.Call("Logout");
  EXPECT_EQ(0u, TaskList().size());
}

TEST_F(ControlTest, LoadTaskSurvivesAPageCancellingFromItsHandler) {
  CUpload control;
  OnTaskNotice(Notice("/d/a", TaskStatus::Stopped));
  OnTaskNotice(Notice("/d/b", TaskStatus::Stopped));
  int fired = 0;
  control.SetEventSink([&](const EventInfo& e, const std::u16string&) {
    if (e.dispid == kLoadTaskEvent && fired++ == 0) control.CancelUpload(u"/d/b");
  });
  control.LoadTask();
  EXPECT_EQ(2, fired);
  EXPECT_EQ(1u, TaskList().size());
}

TEST_F(ControlTest, PostedTextsAreEscapedForThePage) {
  TestScriptHost host;
  PostToCurrentControl(kLoginMessage, "0|bad \"pw\"\n");
  PostToCurrentControl(kSelectFolderMessage, "/d/\xF0\x9F\x98\x80|x");
  host.dispatcher().DispatchEvents();
  const auto lines = host.Lines();
  ASSERT_EQ(2u, lines.size());
  const Json::Value login = TestScriptHost::Parse(lines[0]);
  EXPECT_EQ(3, login["dispid"].asInt());
  EXPECT_EQ("\\u0030\\u007C\\u0062\\u0061\\u0064\\u0020\\u0022\\u0070\\u0077\\u0022\\u000A",
            login["payload"].asString());
  EXPECT_EQ("\\u002F\\u0064\\u002F\\uD83D\\uDE00\\u007C\\u0078",
            TestScriptHost::Parse(lines[1])["payload"].asString());
}

TEST_F(ControlTest, SelectUploadReportsChosenPathsWithoutLogin) {
  TestScriptHost host;
  // Three files in one folder: a directory and three names.
  UseChooser("/home/u/docs\na.txt\nb c.txt\n\xE6\x96\x87.txt\n");
  host.Call("SelectUpload", "[1]");
  ASSERT_TRUE(host.WaitFor([&] { return host.Payloads("SelectFileEvent").size() == 3; }));
  EXPECT_EQ((std::vector<std::string>{"/home/u/docs/a.txt", "/home/u/docs/b c.txt",
                                      "/home/u/docs/\xE6\x96\x87.txt"}),
            host.Payloads("SelectFileEvent"));
  EXPECT_EQ(
      "files "
      "\xE9\x80\x89\xE6\x8B\xA9\xE8\xA6\x81\xE4\xB8\x8A\xE4\xBC\xA0\xE7\x9A\x84\xE6\x96\x87\xE4\xBB"
      "\xB6\n",
      ChooserLog());  // with the dialog's title

  // Files in the root gain no second separator; a single file is its path;
  // names holding line breaks come NUL-separated.
  UseChooser(std::string("/\0x\0y\n z\0", 9));
  host.Call("SelectUpload", "[1]");
  ASSERT_TRUE(host.WaitFor([&] { return host.Payloads("SelectFileEvent").size() == 5; }));
  EXPECT_EQ("/x", host.Payloads("SelectFileEvent")[3]);
  EXPECT_EQ("/y\n z", host.Payloads("SelectFileEvent")[4]);

  UseChooser("/srv/one.bin\n");
  host.Call("SelectUpload", "[1]");
  ASSERT_TRUE(host.WaitFor([&] { return host.Payloads("SelectFileEvent").size() == 6; }));
  EXPECT_EQ("/srv/one.bin", host.Payloads("SelectFileEvent")[5]);

  UseChooser("/srv/photos\n");
  host.Call("SelectUpload", "[2]");
  ASSERT_TRUE(host.WaitFor([&] { return !host.Payloads("SelectFolderEvent").empty(); }));
  EXPECT_EQ("/srv/photos", host.Payloads("SelectFolderEvent")[0]);

  // A cancelled dialog, or another type, reports nothing.
  UseChooser("/srv/ignored\n", 1);
  host.Call("SelectUpload", "[1]");
  host.Call("SelectUpload", "[3]");
  ASSERT_TRUE(TEST_WaitForReportThreads(60000));
  host.Pump(200);
  EXPECT_EQ(6u, host.Payloads("SelectFileEvent").size());
  const std::string log = ChooserLog();
  EXPECT_EQ(5, std::count(log.begin(), log.end(), '\n'));  // the cancelled dialog did run
  unsetenv("VEXAUPLOAD_CHOOSER");
}

TEST(PageScriptPolicyTest, APathIsInsideAFolderOnlyWithoutLeavingIt) {
  struct Case {
    const char* path;
    const char* folder;
    bool inside;
  } cases[] = {
      {"/home/u/album/a.jpg", "/home/u/album", true},
      {"/home/u/album/sub/b.jpg", "/home/u/album/", true},
      {"/home/u/album", "/home/u/album", false},  // the folder itself is chosen, not inside
      {"/home/u/albumX/a.jpg", "/home/u/album", false},
      {"/home/u/album/../.ssh/id_rsa", "/home/u/album", false},
      {"/home/u/album/./a.jpg", "/home/u/album", false},
      {"/home/u/album//a.jpg", "/home/u/album", false},
      {"/home/u/album/a/..", "/home/u/album", false},
      {"/home/u/album/a/../../x", "/home/u/album", false},
      {"/home/u/album/a.jpg", "", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.inside, IsInsideFolder(c.path, c.folder)) << c.path << " in " << c.folder;
}

TEST(PageScriptPolicyTest, APathUnderAChosenFolderMayNotLeadThroughALink) {
  TestDataDir data;
  const std::string album = data.File("album");
  const std::string secret = data.File("secret");
  std::filesystem::create_directories(album + "/sub");
  std::filesystem::create_directories(secret);
  std::ofstream(album + "/sub/a.jpg") << "a";
  std::ofstream(secret + "/key") << "k";
  std::filesystem::create_directory_symlink(secret, album + "/keys");
  std::filesystem::create_symlink(secret + "/key", album + "/sub/key.jpg");
  PageScriptPolicy policy;
  policy.ChoseFolder(album);
  EXPECT_TRUE(policy.MayUpload(album + "/sub/a.jpg"));
  EXPECT_FALSE(policy.MayUpload(album + "/keys/key"));
  EXPECT_FALSE(policy.MayUpload(album + "/sub/key.jpg"));
  // A chosen folder that is itself reached through a link is the user's choice.
  std::filesystem::create_directory_symlink(album, data.File("album-link"));
  policy.ChoseFolder(data.File("album-link"));
  EXPECT_TRUE(policy.MayUpload(data.File("album-link") + "/sub/a.jpg"));
}

TEST_F(ControlTest, CreateUploadWithoutLoginDoesNothing) {
  TestScriptHost host;
  UseChooser("/srv/one.bin\n");
  host.Call("CreateUpload", "[1,\"\",0,1]");
  host.Call("CreateUpload", "[2,\"\",0,1]");
  host.Call("CreateUpload", "[3,\"\",0,1]");
  host.Pump(300);
  EXPECT_EQ("", ChooserLog());  // no dialog shown
  EXPECT_EQ(3u, host.Lines().size());
  unsetenv("VEXAUPLOAD_CHOOSER");
}

TEST_F(ControlTest, OpenLinkOpensOnlyWebAddresses) {
  const std::string log = data_.File("opened");
  const std::string script = data_.File("opener.sh");
  std::ofstream(script) << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" << log << "'\n";
  std::filesystem::permissions(script, std::filesystem::perms::owner_all);
  setenv("VEXAUPLOAD_OPENER", script.c_str(), 1);
  TestScriptHost host;
  for (const char* url : {"file:///etc/passwd", "/usr/bin/xterm", "--help", "javascript:alert(1)",
                          "http://a b", "HTTPS://example.com/x?y=1", "http://example.com/"}) {
    host.Call("OpenLink", std::string("[") + JsonQuote(std::string_view(url)) + "]");
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (ReadWholeFile(log).size() < 46 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const std::string opened = ReadWholeFile(log);
  EXPECT_NE(std::string::npos, opened.find("HTTPS://example.com/x?y=1\n"));
  EXPECT_NE(std::string::npos, opened.find("http://example.com/\n"));
  EXPECT_EQ(46u, opened.size()) << opened;
  unsetenv("VEXAUPLOAD_OPENER");
}

}  // namespace
}  // namespace vexa
