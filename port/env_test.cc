#include "port/env.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "gtest/gtest.h"
#include "port/file.h"
#include "port/last_error.h"
#include "port/testing/fault_injection_env.h"

namespace vexa::port {
namespace {

class EnvTest : public ::testing::Test {
 protected:
  EnvTest() {
    std::random_device rd;
    dir_ = (std::filesystem::temp_directory_path() / ("vexa-env-" + std::to_string(rd()))).string();
    std::filesystem::create_directories(dir_);
  }
  ~EnvTest() override { std::filesystem::remove_all(dir_); }

  // `name` with '/' between its parts, as the platform writes it.
  std::string Path(std::string name) const {
    std::replace(name.begin(), name.end(), '/', kPathSeparator);
    return dir_ + kPathSeparator + name;
  }
  static std::string Content(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  std::string dir_;
};

// The modes the file stores rely on: a resumed file keeps its bytes, a new
// one is refused over an existing one, and writes land at their offsets.
TEST_F(EnvTest, WritableFilesOpenAsTheirModeSaysAndWriteAtTheirOffsets) {
  Env* env = Env::Default();
  std::unique_ptr<WritableFile> f;
  EXPECT_FALSE(env->NewWritableFile(Path("a"), WriteMode::kExisting, 0600, &f));
  EXPECT_EQ(kErrorFileNotFound, LastError());
  bool created = false;
  ASSERT_TRUE(env->NewWritableFile(Path("a"), WriteMode::kCreateNew, 0600, &f, &created));
  EXPECT_TRUE(created);
  ASSERT_TRUE(f->WriteAt(3, "def") && f->WriteAt(0, "abc") && f->Sync() && f->Close());
  EXPECT_FALSE(env->NewWritableFile(Path("a"), WriteMode::kCreateNew, 0600, &f));

  ASSERT_TRUE(env->NewWritableFile(Path("a"), WriteMode::kExisting, 0600, &f, &created));
  EXPECT_FALSE(created);
  uint64_t size = 0;
  ASSERT_TRUE(f->WriteAt(1, "X") && f->Size(&size));
  EXPECT_EQ(6u, size);
  ASSERT_TRUE(f->Truncate(4) && f->Close());
  EXPECT_EQ("aXcd", Content(Path("a")));

  ASSERT_TRUE(env->NewWritableFile(Path("a"), WriteMode::kReplace, 0600, &f) && f->Close());
  EXPECT_EQ("", Content(Path("a")));
}

// The power-loss model the crash tests rest on: unsynced data and unsynced
// names go, synced ones stay, and files it never touched are left alone.
TEST_F(EnvTest, APowerLossKeepsExactlyWhatWasSynced) {
  std::ofstream(Path("old"), std::ios::binary) << "before";
  FaultInjectionEnv env(dir_);
  std::unique_ptr<WritableFile> f;
  ASSERT_TRUE(env.CreateDirectoriesDurably(Path("d/"), 0700));
  ASSERT_TRUE(env.NewWritableFile(Path("d/synced"), WriteMode::kReplace, 0600, &f));
  ASSERT_TRUE(f->WriteAt(0, "kept") && f->Sync() && f->WriteAt(4, " lost") && f->Close());
  ASSERT_TRUE(env.SyncDirectory(Path("d")));
  ASSERT_TRUE(env.NewWritableFile(Path("d/unnamed"), WriteMode::kReplace, 0600, &f));
  ASSERT_TRUE(f->WriteAt(0, "data") && f->Sync() && f->Close());
  ASSERT_TRUE(env.RenameFile(Path("d/synced"), Path("d/renamed")));
  ASSERT_TRUE(env.WriteFileReplacing(Path("old"), "after"));

  env.CutPowerAfter(1);
  EXPECT_FALSE(env.SyncDirectory(Path("d")));
  EXPECT_TRUE(env.PowerIsOff());
  env.LosePowerAndRestart();

  EXPECT_EQ("kept", Content(Path("d/synced")));
  EXPECT_FALSE(std::filesystem::exists(Path("d/renamed")));
  EXPECT_FALSE(std::filesystem::exists(Path("d/unnamed")));
  EXPECT_EQ("after", Content(Path("old")));
}

}  // namespace
}  // namespace vexa::port
