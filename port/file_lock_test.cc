#include "port/file_lock.h"

#include <filesystem>
#include <random>
#include <string>

#if !defined(_WIN32)
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "gtest/gtest.h"
#include "port/process.h"

namespace vexa::port {
namespace {

using Result = FileLock::Result;

// Unique to this process: two runs of the suite at once must not share a lock file.
std::string LockPath(const char* name) {
  static const std::string run = std::to_string(std::random_device{}());
  return (std::filesystem::temp_directory_path() / ("vexa_lock_" + run + "_" + name)).string();
}

TEST(FileLockTest, OneHolderAtATimeUntilItLetsGo) {
  const std::string path = LockPath("one");
  std::filesystem::remove(path);
  FileLock first, second;
  EXPECT_EQ(Result::kLocked, first.TryLock(path)) << "the file is made when missing";
  uint32_t holder = 0;
  EXPECT_EQ(Result::kBusy, second.TryLock(path, &holder));
  EXPECT_EQ(CurrentProcessId(), holder) << "the holder is named";
  EXPECT_FALSE(second.locked());
  first.Unlock();
  EXPECT_EQ(Result::kLocked, second.TryLock(path));
  {
    FileLock third;
    EXPECT_EQ(Result::kBusy, third.TryLock(path));
  }
  second.Unlock();
  {
    FileLock scoped;
    EXPECT_EQ(Result::kLocked, scoped.TryLock(path));
  }
  EXPECT_EQ(Result::kLocked, first.TryLock(path)) << "destruction released it";
  first.Unlock();
  FileLock nowhere;
  EXPECT_EQ(Result::kFailed, nowhere.TryLock(LockPath("missing-folder") + "/sub/lock"));
  std::filesystem::remove(path);
}

#if !defined(_WIN32)
TEST(FileLockTest, AHolderThatDiesWithoutUnlockingReleasesIt) {
  const std::string path = LockPath("died");
  int ready[2];
  ASSERT_EQ(0, pipe(ready));
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    FileLock held;
    const char ok = held.TryLock(path) == Result::kLocked ? '1' : '0';
    (void)!write(ready[1], &ok, 1);
    pause();  // killed here, the lock still taken
    _exit(0);
  }
  close(ready[1]);
  char ok = 0;
  ASSERT_EQ(1, read(ready[0], &ok, 1));
  close(ready[0]);
  ASSERT_EQ('1', ok);
  FileLock mine;
  EXPECT_EQ(Result::kBusy, mine.TryLock(path));
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_EQ(Result::kLocked, mine.TryLock(path));
  std::filesystem::remove(path);
}
#endif

}  // namespace
}  // namespace vexa::port
