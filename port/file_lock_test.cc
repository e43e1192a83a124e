#include "port/file_lock.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "port/process.h"

namespace vexa::port {
namespace {

TEST(FileLockTest, OneHolderAtATimeWhoseIdOthersRead) {
  std::random_device rd;
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("vexa-lock-" + std::to_string(rd()));
  std::filesystem::create_directories(folder);
  const std::string path = (folder / "lock").string();

  uint32_t holder = 1;
  FileLock first;
  ASSERT_TRUE(first.TryLock(path, &holder));
  EXPECT_EQ(0u, holder);
  // A second lock fails even inside the holding process, naming the holder.
  FileLock second;
  EXPECT_FALSE(second.TryLock(path, &holder));
  EXPECT_EQ(CurrentProcessId(), holder);
  first.Unlock();
  EXPECT_TRUE(second.TryLock(path, &holder));
  {
    FileLock third;
    EXPECT_FALSE(third.TryLock(path, &holder));
  }
  second.Unlock();
  // A folder that is not there is a failure of its own, naming no holder.
  FileLock missing;
  EXPECT_FALSE(missing.TryLock((folder / "no" / "lock").string(), &holder));
  EXPECT_EQ(0u, holder);
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace vexa::port
