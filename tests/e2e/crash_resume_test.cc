// A child process uploading a large file is killed with SIGKILL at random
// points and started again; every restart continues the same upload from the
// service's offset, and the stored file is the original byte for byte.
//
// VEXA_CRASH_KILLS sets the number of kills (3 by default).

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

#include "engine/transfer_test_support.h"

namespace vexa {
namespace {

namespace fs = std::filesystem;

constexpr size_t kFileSize = 64u << 20;

// Starts the child; its output goes to `log`.
pid_t StartChild(const std::string& base, const std::string& data_dir, const std::string& file,
                 const std::string& log) {
  const std::string binary =
      std::string(std::getenv("VEXA_BINARY_DIR")) + "/tests/e2e/upload_child";
  const pid_t pid = fork();
  if (pid == 0) {
    setenv("VEXAUPLOAD_DATA_DIR", data_dir.c_str(), 1);
    std::FILE* out = std::freopen(log.c_str(), "a", stdout);
    if (out == nullptr) _exit(126);
    execl(binary.c_str(), binary.c_str(), base.c_str(), "alice", "alice-pw", file.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

// The pick code in the child's resume store, or "" before it has one.
std::string StoredPickCode(const std::string& data_dir) {
  for (const fs::directory_entry& e : fs::directory_iterator(data_dir)) {
    const std::string name = e.path().filename().string();
    if (name.size() < 11 || name.substr(name.size() - 11) != "_upload.ini") continue;
    const std::string text = ReadWholeFile(e.path().string());
    return RequestRecorder::Between(text, "\npickcode=", "\r\n");
  }
  return "";
}

TEST(CrashResumeTest, AKilledUploadResumesUntilTheFileArrivesWhole) {
  const char* kills_env = std::getenv("VEXA_CRASH_KILLS");
  const int kills = kills_env ? std::atoi(kills_env) : 3;
  // Slow ranges, so that every kill meets the upload before its end: a run
  // lasts at most about two seconds and sends fewer than 64 / kills ranges.
  const int range_delay_ms = kills >= 10 ? 220 : 110;

  TestDataDir dir;
  fs::create_directories(dir.File("server"));
  fs::create_directories(dir.File("client"));
  server::ServerProcess server(dir.File("server"));
  ASSERT_TRUE(
      server.Start({"--faults", "bigupload:delay=" + std::to_string(range_delay_ms) + "*100000"}));

  std::mt19937 gen(std::random_device{}());
  std::string content(kFileSize, '\0');
  for (char& c : content) c = static_cast<char>(gen());
  const std::string file = dir.File("big.bin");
  WriteWholeFile(file, content);
  const std::string log = dir.File("child.log");

  std::string pick_code;
  std::uniform_int_distribution<int> when(200, 2200);
  for (int i = 0; i < kills; ++i) {
    const pid_t pid = StartChild(server.base(), dir.File("client"), file, log);
    ASSERT_GT(pid, 0);
    if (i == kills - 1 && pick_code.empty()) {
      // However slow the machine, one run is killed after the service named
      // the upload, so that continuing a named upload is always tested.
      for (int waited = 0; StoredPickCode(dir.File("client")).empty() && waited < 60000;
           waited += 20) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(when(gen)));
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status))
        << "run " << i << " ended before its kill: " << ReadWholeFile(log);
    // Once the service named the upload, every later run continues that one.
    const std::string stored = StoredPickCode(dir.File("client"));
    if (pick_code.empty()) {
      pick_code = stored;
    } else {
      EXPECT_EQ(stored, pick_code) << "run " << i;
    }
  }
  const pid_t pid = StartChild(server.base(), dir.File("client"), file, log);
  ASSERT_GT(pid, 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ReadWholeFile(log);

  const Json::Value files = ExportedFilesOf(server.port(), "alice");
  ASSERT_EQ(files.size(), 1u) << files;
  std::string sha1;
  ASSERT_TRUE(Sha1Hex(content.data(), content.size(), &sha1));
  EXPECT_EQ(files["big.bin"]["sha1"].asString(), sha1);
  EXPECT_EQ(files["big.bin"]["size"].asUInt64(), kFileSize);
  ASSERT_FALSE(pick_code.empty()) << "no run got as far as the dispatch";
  EXPECT_EQ(files["big.bin"]["pickcode"].asString(), pick_code);
}

}  // namespace
}  // namespace vexa
