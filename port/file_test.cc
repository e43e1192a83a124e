#include "port/file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "port/last_error.h"

namespace vexa::port {
namespace {

class FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = (std::filesystem::temp_directory_path() /
             ("vexa_port_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name())))
                .string();
    std::filesystem::remove_all(root_);
    std::filesystem::create_directories(root_);
    root_.push_back(kPathSeparator);
  }
  void TearDown() override { std::filesystem::remove_all(root_); }

  std::string root_;  // ends with a separator
};

TEST_F(FileTest, CreateDirectoriesNeedsTheFinalSeparator) {
  const std::string sep(1, kPathSeparator);
  // With the final separator every folder is created.
  const std::string with = root_ + "a" + sep + "b" + sep;
  EXPECT_TRUE(CreateDirectories(with));
  EXPECT_TRUE(IsDirectory(root_ + "a"));
  EXPECT_TRUE(IsDirectory(root_ + "a" + sep + "b"));
  EXPECT_TRUE(CreateDirectories(with));  // existing: true

  // Without it the last folder stays uncreated and the result is false.
  const std::string without = root_ + "c" + sep + "d";
  EXPECT_FALSE(CreateDirectories(without));
  EXPECT_TRUE(IsDirectory(root_ + "c"));
  EXPECT_FALSE(PathExists(without));

  // A file in the way stops the walk.
  std::FILE* f = std::fopen((root_ + "file").c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  EXPECT_FALSE(CreateDirectories(root_ + "file" + sep + "x" + sep));
  EXPECT_FALSE(IsDirectory(root_ + "file"));
}

TEST_F(FileTest, SizeExistenceAndKinds) {
  const std::string path = root_ + "data";
  std::FILE* f = OpenFileShared(path, "wb");
  ASSERT_NE(f, nullptr);
  std::fputs("hello", f);
  std::fclose(f);

  uint64_t size = 99;
  EXPECT_TRUE(FileSize64(path, &size));
  EXPECT_EQ(size, 5u);
  EXPECT_TRUE(PathExists(path));
  EXPECT_TRUE(IsRegularFile(path));
  EXPECT_FALSE(IsDirectory(path));
  EXPECT_TRUE(IsDirectory(root_));

  size = 99;
  EXPECT_FALSE(FileSize64(root_ + "missing", &size));
  EXPECT_EQ(size, 99u);
  EXPECT_EQ(LastError(), kErrorFileNotFound);
  EXPECT_FALSE(PathExists(root_ + "missing"));
  EXPECT_EQ(LastError(), kErrorFileNotFound);
  EXPECT_EQ(OpenFileShared(root_ + "missing" + kPathSeparator + "x", "rb"), nullptr);
  EXPECT_EQ(LastError(), kErrorFileNotFound);
  EXPECT_EQ(OpenFileShared(path + kPathSeparator + "x", "rb"), nullptr);
  EXPECT_EQ(LastError(), kErrorPathNotFound);
  // A folder does not open as a file.
  EXPECT_EQ(OpenFileShared(root_, "rb"), nullptr);
  EXPECT_EQ(LastError(), kErrorAccessDenied);
}

TEST_F(FileTest, StreamNodesAreNoFiles) {
  // A pipe would block the open until a writer came; a device never ends.
  const std::string fifo = root_ + "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(OpenFileShared(fifo, "rb"), nullptr);
  EXPECT_EQ(LastError(), kErrorAccessDenied);
  uint64_t size = 0;
  EXPECT_FALSE(FileSize64(fifo, &size));
  if (PathExists("/dev/zero")) {
    EXPECT_EQ(OpenFileShared("/dev/zero", "rb"), nullptr);
    EXPECT_EQ(LastError(), kErrorAccessDenied);
  }
}

TEST_F(FileTest, SixtyFourBitOffsets) {
  // Sparse: cheap on any file system that supports holes.
  const std::string path = root_ + "big";
  std::FILE* f = OpenFileShared(path, "wb");
  ASSERT_NE(f, nullptr);
  const uint64_t beyond = (5ull << 30) + 3;
  ASSERT_TRUE(Seek64(f, beyond - 1));
  std::fputc('z', f);
  uint64_t pos = 0;
  ASSERT_TRUE(Tell64(f, &pos));
  EXPECT_EQ(pos, beyond);
  std::fclose(f);

  uint64_t size = 0;
  ASSERT_TRUE(FileSize64(path, &size));
  EXPECT_EQ(size, beyond);
  f = OpenFileShared(path, "rb");
  ASSERT_NE(f, nullptr);
  ASSERT_TRUE(Seek64(f, beyond - 1));
  EXPECT_EQ(std::fgetc(f), 'z');
  std::fclose(f);
}

TEST_F(FileTest, ListRenameRemove) {
  ASSERT_TRUE(CreateDirectories(root_ + "sub" + kPathSeparator));
  std::FILE* f = OpenFileShared(root_ + "one", "wb");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  std::filesystem::create_symlink(root_ + "sub", root_ + "link");

  std::vector<DirEntry> entries;
  ASSERT_TRUE(ListDirectory(root_, &entries));
  std::map<std::string, EntryKind> kinds;
  for (const auto& e : entries) kinds[e.name] = e.kind;
  EXPECT_EQ(kinds.size(), 3u);
  EXPECT_EQ(kinds["one"], EntryKind::kFile);
  EXPECT_EQ(kinds["sub"], EntryKind::kDirectory);
  EXPECT_EQ(kinds["link"], EntryKind::kSymlink);
  EXPECT_FALSE(ListDirectory(root_ + "missing", &entries));

  EXPECT_TRUE(RenameFile(root_ + "one", root_ + "two"));
  EXPECT_FALSE(PathExists(root_ + "one"));
  EXPECT_TRUE(RemoveFile(root_ + "two"));
  EXPECT_FALSE(PathExists(root_ + "two"));
}

TEST(LastErrorTest, MapsErrnoOntoPlatformNumbers) {
  EXPECT_EQ(MapErrno(0), kErrorSuccess);
  EXPECT_EQ(MapErrno(ENOENT), 2u);
  EXPECT_EQ(MapErrno(ENOTDIR), 3u);
  EXPECT_EQ(MapErrno(EACCES), 5u);
  EXPECT_EQ(MapErrno(EBUSY), 32u);
  EXPECT_EQ(MapErrno(ENAMETOOLONG), 123u);
  EXPECT_EQ(MapErrno(ENOSPC), 112u);
  EXPECT_EQ(MapErrno(EIO), 1117u);
  EXPECT_EQ(MapErrno(EXDEV), kErrorGenFailure);

  // Per thread: another thread's failure does not show here.
  SetLastError(kErrorDiskFull);
  std::thread([] { SetLastError(kErrorAccessDenied); }).join();
  EXPECT_EQ(LastError(), kErrorDiskFull);
}

}  // namespace
}  // namespace vexa::port
