#include "store/resume_store.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <thread>

#include "account/session.h"
#include "account/test_data_dir.h"
#include "gtest/gtest.h"
#include "port/testing/fake_clock_env.h"
#include "port/testing/fault_injection_env.h"
#include "port/testing/test_environment.h"

namespace vexa {
namespace {

void LogIn(const std::string& user_id) {
  LogoutAccount();
  ASSERT_TRUE(ApplyLoginAnswer(R"({"state": true, "user_id": ")" + user_id + R"("})", "a", "d",
                               false, false, LogoutCount()));
  ASSERT_TRUE(IsLoggedIn());
}

ResumeRecord Record(const std::string& file_id, int64_t size, int64_t done) {
  ResumeRecord r;
  r.fileId = file_id;
  r.quickId = "Q" + file_id;
  r.pickCode = "pc";
  r.target = "T1";
  r.fileSize = size;
  r.uploadedSize = done;
  r.ispType = -1;
  return r;
}

// Waits, without polling, until the writer has written more than `writes`
// times.
bool WaitForWrite(uint64_t writes) {
  for (int i = 0; i < 20; ++i) {
    const uint64_t passes = TEST_ResumeWriterPasses();
    if (TEST_ResumeWrites() > writes) return true;
    TEST_WaitForResumeWriterPass(passes, 5000);
  }
  return TEST_ResumeWrites() > writes;
}

class ResumeStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { LogIn("77"); }
  void TearDown() override {
    CloseResumeStore();
    LogoutAccount();
  }
  std::string StoreFile(const std::string& user = "77") { return dir_.File(user + "_upload.ini"); }
  std::vector<StoredUpload> Load() {
    std::vector<StoredUpload> got;
    EXPECT_TRUE(LoadResumeStore([&got](const std::vector<StoredUpload>& u) { got = u; }));
    return got;
  }

  TestDataDir dir_;
};

TEST_F(ResumeStoreTest, ClosedStoreRefusesEverything) {
  ResumeRecord r;
  std::vector<std::string> paths;
  int64_t total = 0, done = 0;
  std::string target;
  EXPECT_FALSE(SaveResumeRecord("/a", Record("F", 1, 0), true));
  EXPECT_FALSE(ReadResumeRecord("/a", &r));
  EXPECT_FALSE(CollectFolderRecords("/d", &total, &done, &target, &paths));
  EXPECT_FALSE(LoadResumeStore(nullptr));
  EXPECT_EQ("", ResumeStorePath());
}

TEST_F(ResumeStoreTest, RecordsRoundTripThroughTheFile) {
  ASSERT_TRUE(OpenResumeStore());
  EXPECT_FALSE(OpenResumeStore());
  EXPECT_EQ(StoreFile(), ResumeStorePath());
  EXPECT_TRUE(Load().empty());

  ResumeRecord member = Record("F2", 300, 100);
  member.folderPath = "/up/dir";
  member.folderTarget = "FT";
  ASSERT_TRUE(SaveResumeRecord("/up/dir/b.bin", member, false));
  const uint64_t writes = TEST_ResumeWrites();
  ASSERT_TRUE(SaveResumeRecord("/up/one.bin", Record("F1", 5000000000LL, 42), true));
  ASSERT_TRUE(WaitForWrite(writes));
  EXPECT_EQ(
      "[/up/dir/b.bin]\r\nfileid=F2\r\nfilesize=300\r\nfolderpath=/up/dir\r\nfoldertarget=FT\r\n"
      "isp=18446744073709551615\r\npickcode=pc\r\nquickid=QF2\r\ntarget=\r\nuploadsize=100\r\n"
      "[/up/one.bin]\r\nfileid=F1\r\nfilesize=5000000000\r\nfolderpath=\r\nfoldertarget=\r\n"
      "isp=18446744073709551615\r\npickcode=pc\r\nquickid=QF1\r\ntarget=T1\r\nuploadsize=42\r\n",
      ReadWholeFile(StoreFile()));

  CloseResumeStore();
  ASSERT_TRUE(OpenResumeStore());
  const std::vector<StoredUpload> got = Load();
  ASSERT_EQ(2u, got.size());
  EXPECT_EQ("/up/dir/b.bin", got[0].filePath);
  EXPECT_EQ("", got[0].record.target);  // a member's target is never stored
  EXPECT_EQ("FT", got[0].record.folderTarget);
  EXPECT_EQ(5000000000LL, got[1].record.fileSize);
  EXPECT_EQ(-1, got[1].record.ispType);

  ResumeRecord r;
  ASSERT_TRUE(ReadResumeRecord("/up/one.bin", &r));
  EXPECT_EQ("F1", r.fileId);
  EXPECT_EQ(42, r.uploadedSize);
}

TEST_F(ResumeStoreTest, ReadNeedsFileIdAndLoadSkipsButKeepsIncompleteSections) {
  std::ofstream(StoreFile(), std::ios::binary)
      << "[/x/partial]\nquickid=Q\nfilesize=10\n"
      << "[/x/full]\nfileid=F\nquickid=Q\npickcode=\nfolderpath=\nfoldertarget=\ntarget=T\n"
      << "filesize=10\nuploadsize=\nisp=2\n"
      << "[/x/noisp]\nfileid=F\nquickid=Q\npickcode=\nfolderpath=\nfoldertarget=\ntarget=T\n"
      << "filesize=10\nuploadsize=0\n";
  ASSERT_TRUE(OpenResumeStore());
  const std::vector<StoredUpload> got = Load();
  ASSERT_EQ(1u, got.size());
  EXPECT_EQ("/x/full", got[0].filePath);

  ResumeRecord r;
  r.uploadedSize = 7;
  EXPECT_FALSE(ReadResumeRecord("/x/partial", &r));
  ASSERT_TRUE(ReadResumeRecord("/x/noisp", &r));
  ASSERT_TRUE(ReadResumeRecord("/x/full", &r));
  EXPECT_EQ(0, r.uploadedSize);  // an empty value is not parsed: kept from /x/noisp
  EXPECT_EQ(2, r.ispType);

  const uint64_t writes = TEST_ResumeWrites();
  RemoveResumeRecord("/x/full");
  MarkResumeStoreDirty(true);
  ASSERT_TRUE(WaitForWrite(writes));
  const std::string text = ReadWholeFile(StoreFile());
  EXPECT_NE(std::string::npos, text.find("[/x/partial]"));
  EXPECT_NE(std::string::npos, text.find("[/x/noisp]"));
  EXPECT_EQ(std::string::npos, text.find("[/x/full]"));
}

TEST_F(ResumeStoreTest, TheFileTimeIsKeptWhenKnown) {
  ASSERT_TRUE(OpenResumeStore());
  Load();
  ResumeRecord timed = Record("F1", 10, 0);
  timed.modifiedTime = 1700000000123456789LL;
  ASSERT_TRUE(SaveResumeRecord("/t/timed", timed, false));
  const uint64_t writes = TEST_ResumeWrites();
  ASSERT_TRUE(SaveResumeRecord("/t/untimed", Record("F2", 10, 0), true));
  ASSERT_TRUE(WaitForWrite(writes));
  const std::string text = ReadWholeFile(StoreFile());
  EXPECT_NE(std::string::npos,
            text.find("filesize=10\r\nfiletime=1700000000123456789\r\nfolderpath="));
  EXPECT_EQ(text.find("filetime="), text.rfind("filetime=")) << "only the record that knows it";

  CloseResumeStore();
  ASSERT_TRUE(OpenResumeStore());
  const std::vector<StoredUpload> got = Load();
  ASSERT_EQ(2u, got.size());
  EXPECT_EQ(1700000000123456789LL, got[0].record.modifiedTime);
  EXPECT_FALSE(got[1].record.modifiedTime.has_value());
  ResumeRecord r;
  ASSERT_TRUE(ReadResumeRecord("/t/timed", &r));
  EXPECT_EQ(1700000000123456789LL, r.modifiedTime);
}

// An upload's ticket orders its saves against cancels and against the store's
// next open (another login): a save made for an upload older than either is
// refused, so a cancelled record never comes back and no login's uploads reach
// the next one's file.
TEST_F(ResumeStoreTest, SavesOfAnUploadOlderThanACancelOrTheOpenAreRefused) {
  ASSERT_TRUE(OpenResumeStore());
  Load();
  const uint64_t before_cancel = ResumeStoreTicket();
  EXPECT_TRUE(SaveResumeRecord("/c/a", Record("F", 10, 0), false, before_cancel));
  CancelResumeRecord("/c/a");
  ResumeRecord r;
  EXPECT_FALSE(ReadResumeRecord("/c/a", &r));
  EXPECT_FALSE(SaveResumeRecord("/c/a", Record("F", 10, 5), false, before_cancel));
  EXPECT_FALSE(ReadResumeRecord("/c/a", &r));
  EXPECT_TRUE(SaveResumeRecord("/c/b", Record("F", 10, 5), false, before_cancel)) << "another file";
  const uint64_t after_cancel = ResumeStoreTicket();
  EXPECT_TRUE(SaveResumeRecord("/c/a", Record("F", 10, 0), false, after_cancel)) << "queued again";

  CloseResumeStore();
  LogIn("78");
  ASSERT_TRUE(OpenResumeStore());
  Load();
  EXPECT_FALSE(SaveResumeRecord("/c/a", Record("F", 10, 7), false, after_cancel));
  EXPECT_FALSE(ReadResumeRecord("/c/a", &r));
  ASSERT_TRUE(SaveResumeRecord("/c/b", Record("F", 10, 0), false));
  RemoveResumeRecord("/c/b", after_cancel);
  EXPECT_TRUE(ReadResumeRecord("/c/b", &r)) << "an earlier login's completion removes nothing here";
}

TEST_F(ResumeStoreTest, CollectsAFoldersMembers) {
  ASSERT_TRUE(OpenResumeStore());
  Load();
  int64_t total = 0, done = 0;
  std::string target;
  std::vector<std::string> paths;
  EXPECT_FALSE(CollectFolderRecords("/f", &total, &done, &target, &paths));  // store empty
  for (int i = 0; i < 3; ++i) {
    ResumeRecord r = Record("F", 100 + i, i);
    r.folderPath = "/f";
    r.folderTarget = "TF";
    SaveResumeRecord("/f/" + std::to_string(i), r, false);
  }
  ResumeRecord other = Record("F", 1000, 0);
  other.folderPath = "/f2";
  SaveResumeRecord("/f2/x", other, false);
  SaveResumeRecord("/single", Record("F", 5, 0), false);
  ASSERT_TRUE(CollectFolderRecords("/f", &total, &done, &target, &paths));
  EXPECT_EQ(303, total);
  EXPECT_EQ(3, done);
  EXPECT_EQ("TF", target);
  EXPECT_EQ((std::vector<std::string>{"/f/0", "/f/1", "/f/2"}), paths);
}

TEST_F(ResumeStoreTest, NothingIsWrittenBeforeTheFileWasLoaded) {
  std::ofstream(StoreFile(), std::ios::binary) << "[/old]\nfileid=\nquickid=\npickcode=\n"
                                               << "folderpath=\nfoldertarget=\ntarget=T\n"
                                               << "filesize=1\nuploadsize=0\nisp=0\n";
  const uint64_t passes = TEST_ResumeWriterPasses();
  ASSERT_TRUE(OpenResumeStore());
  ASSERT_TRUE(SaveResumeRecord("/early", Record("E", 9, 0), true));
  // The writer's first pass and the pass the save woke have both run.
  ASSERT_TRUE(TEST_WaitForResumeWriterPass(passes + 1, 5000));
  EXPECT_EQ(std::string::npos, ReadWholeFile(StoreFile()).find("/early"));

  const uint64_t writes = TEST_ResumeWrites();
  EXPECT_EQ(2u, Load().size());  // the early record is kept, not replaced
  ASSERT_TRUE(WaitForWrite(writes));
  const std::string text = ReadWholeFile(StoreFile());
  EXPECT_NE(std::string::npos, text.find("[/old]"));
  EXPECT_NE(std::string::npos, text.find("[/early]"));
}

TEST_F(ResumeStoreTest, CloseWritesWhatTheWriterHadNotWritten) {
  ASSERT_TRUE(OpenResumeStore());
  Load();
  ASSERT_TRUE(SaveResumeRecord("/late", Record("L", 9, 3), false));  // no wake: up to 30 s
  CloseResumeStore();
  EXPECT_NE(std::string::npos, ReadWholeFile(StoreFile()).find("[/late]"));
  EXPECT_EQ(0, TEST_ResumeWritersRunning());
}

TEST_F(ResumeStoreTest, ACloseBeginningAsTheWriterTakesTheChangesLosesNothing) {
  ASSERT_TRUE(OpenResumeStore());
  Load();
  std::atomic<bool> taken{false};
  TEST_SetResumeWriterHook([&taken] {
    taken = true;
    // The write waits until the close has begun.
    while (IsResumeStoreOpen()) std::this_thread::yield();
  });
  ASSERT_TRUE(SaveResumeRecord("/closing", Record("C", 9, 1), true));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!taken && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  EXPECT_TRUE(taken);
  CloseResumeStore();
  TEST_SetResumeWriterHook(nullptr);
  EXPECT_NE(std::string::npos, ReadWholeFile(StoreFile()).find("[/closing]"));
  EXPECT_EQ(0, TEST_ResumeWritersRunning());
}

TEST_F(ResumeStoreTest, EachAccountHasItsOwnFile) {
  ASSERT_TRUE(OpenResumeStore());
  Load();
  SaveResumeRecord("/mine", Record("M", 1, 0), false);
  CloseResumeStore();
  LogIn("88");
  ASSERT_TRUE(OpenResumeStore());
  EXPECT_EQ(StoreFile("88"), ResumeStorePath());
  EXPECT_TRUE(Load().empty());
  ResumeRecord r;
  EXPECT_FALSE(ReadResumeRecord("/mine", &r));
  SaveResumeRecord("/yours", Record("Y", 1, 0), false);
  CloseResumeStore();
  EXPECT_EQ(std::string::npos, ReadWholeFile(StoreFile("77")).find("/yours"));
  EXPECT_NE(std::string::npos, ReadWholeFile(StoreFile("88")).find("/yours"));
}

TEST_F(ResumeStoreTest, OneWriterPerOpenEvenWhenReopenedAtOnce) {
  for (int i = 0; i < 25; ++i) {
    ASSERT_TRUE(OpenResumeStore());
    EXPECT_EQ(1, TEST_ResumeWritersRunning());
    Load();
    SaveResumeRecord("/r" + std::to_string(i), Record("R", 1, 0), i % 2 == 0);
    CloseResumeStore();
    EXPECT_EQ(0, TEST_ResumeWritersRunning());
  }
  ASSERT_TRUE(OpenResumeStore());
  EXPECT_EQ(25u, Load().size());
}

TEST_F(ResumeStoreTest, ConcurrentSavesAllReachTheFile) {
  ASSERT_TRUE(OpenResumeStore());
  Load();
  auto saver = [](int base) {
    for (int i = 0; i < 200; ++i) {
      SaveResumeRecord("/c/" + std::to_string(base + i), Record("C", 1, i), i % 10 == 0);
    }
  };
  std::thread a(saver, 0), b(saver, 1000);
  for (int i = 0; i < 50; ++i) {
    ResumeRecord r;
    ReadResumeRecord("/c/" + std::to_string(i), &r);
  }
  a.join();
  b.join();
  CloseResumeStore();
  ASSERT_TRUE(OpenResumeStore());
  EXPECT_EQ(400u, Load().size());
}

// Power lost at a random moment of the store's writes, a few hundred times
// over one data folder that the store creates itself: after each restart
// every record a flush reported on the disk is there, with at least the
// progress that flush wrote.
TEST_F(ResumeStoreTest, PowerLossKeepsEveryRecordAFlushReported) {
  const std::string data = dir_.File("data") + port::kPathSeparator;
  SetTestEnvironment("VEXAUPLOAD_DATA_DIR", data.c_str());
  port::FaultInjectionEnv env(dir_.File("."));
  port::ScopedCurrentEnv scope(&env);
  std::mt19937 random(27);
  std::map<std::string, int64_t> saved;    // path -> progress a flush reported
  std::map<std::string, int64_t> written;  // path -> the last progress handed to the store
  constexpr int kLosses = 300;
  for (int round = 0; round < kLosses; ++round) {
    ASSERT_TRUE(OpenResumeStore());
    std::map<std::string, ResumeRecord> found;
    ASSERT_TRUE(LoadResumeStore([&found](const std::vector<StoredUpload>& uploads) {
      for (const StoredUpload& u : uploads) found[u.filePath] = u.record;
    }));
    for (const auto& [path, done] : saved) {
      auto it = found.find(path);
      ASSERT_NE(found.end(), it) << "after loss " << round << ": " << path << " is gone";
      EXPECT_EQ(path, it->second.fileId);
      EXPECT_GE(it->second.uploadedSize, done) << path;
    }
    env.CutPowerAfter(1 + random() % 12);
    std::map<std::string, int64_t> unconfirmed;
    for (int step = 0; step < 3; ++step) {
      const std::string fresh = "/f" + std::to_string(round) + "-" + std::to_string(step);
      unconfirmed[fresh] = written[fresh] = 0;
      SaveResumeRecord(fresh, Record(fresh, 1 << 30, 0), false);
      auto old = written.begin();
      std::advance(old, random() % written.size());
      const std::string path = old->first;
      unconfirmed[path] = (old->second += 1 + random() % 1000);
      SaveResumeRecord(path, Record(path, 1 << 30, old->second), false);
      if (FlushResumeStore()) {
        for (const auto& [p, done] : unconfirmed) saved[p] = done;
        unconfirmed.clear();
      }
    }
    CloseResumeStore();
    env.LosePowerAndRestart();
  }
  EXPECT_GT(saved.size(), 100u) << "too few flushes got through to test anything";
}

// A child process that rewrites the store as fast as it can until it is
// killed. Runs only when the crash test below starts it.
TEST(ResumeStoreCrashTest, ChildWriter) {
  const char* dir = std::getenv("VEXA_CRASH_CHILD_DIR");
  if (dir == nullptr) GTEST_SKIP() << "started by ResumeStoreCrashTest.KilledWriter";
  SetTestEnvironment("VEXAUPLOAD_DATA_DIR", dir);
  LogIn("5");
  const uint64_t passes = TEST_ResumeWriterPasses();
  ASSERT_TRUE(OpenResumeStore());
  ASSERT_TRUE(LoadResumeStore(nullptr));
  // After the writer's first pass it writes only when woken, that is between
  // two generations: every write is a snapshot of one generation.
  ASSERT_TRUE(TEST_WaitForResumeWriterPass(passes, 60000));
  for (int generation = 1;; ++generation) {
    const uint64_t writes = TEST_ResumeWrites();
    for (int i = 0; i < 2000; ++i) {
      SaveResumeRecord("/k/" + std::to_string(i), Record("G" + std::to_string(generation), 1, 0),
                       false);
    }
    MarkResumeStoreDirty(true);
    WaitForWrite(writes);
  }
}

// A process killed while its writer saves leaves the old or the new file,
// never a torn one: every record of the file is of one generation.
TEST(ResumeStoreCrashTest, KilledWriterLeavesAWholeFile) {
#if defined(_WIN32)
  GTEST_SKIP() << "kills its child with timeout(1) from a shell";
#endif
  TestDataDir dir;
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  int checked = 0;
  // Slow builds (sanitizers, a busy machine) need longer before the first
  // write; stop once a few kills have landed after one.
  for (const char* seconds : {"0.3", "0.5", "0.8", "1.2", "2", "3", "5", "8"}) {
    if (checked >= 3) break;
    const std::string cmd = "VEXA_CRASH_CHILD_DIR='" + dir.folder() + "' timeout -s KILL " +
                            seconds + " '" + self +
                            "' --gtest_filter=ResumeStoreCrashTest.ChildWriter >/dev/null 2>&1";
    std::system(cmd.c_str());
    const std::string text = ReadWholeFile(dir.File("5_upload.ini"));
    if (text.empty()) continue;  // killed before its first write
    ++checked;
    size_t sections = 0;
    std::string generation;
    bool uniform = true;
    for (size_t pos = 0; (pos = text.find("fileid=", pos)) != std::string::npos; ++sections) {
      const size_t end = text.find("\r\n", pos);
      ASSERT_NE(std::string::npos, end) << "torn line after " << sections << " sections";
      const std::string g = text.substr(pos + 7, end - pos - 7);
      if (generation.empty()) generation = g;
      uniform = uniform && g == generation;
      pos = end;
    }
    EXPECT_EQ(2000u, sections) << "killed after " << seconds << " s";
    EXPECT_TRUE(uniform);
    EXPECT_EQ("\r\n", text.substr(text.size() - 2));
  }
  EXPECT_GT(checked, 0) << "the writer never got to write";
}

}  // namespace
}  // namespace vexa
