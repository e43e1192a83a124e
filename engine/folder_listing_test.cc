#include "engine/folder_listing.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "account/test_data_dir.h"
#include "gtest/gtest.h"

namespace vexa {
namespace {

class FolderListingTest : public ::testing::Test {
 protected:
  std::string Make(const std::string& name) {
    const std::string path = dir_.File(name);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << "x";
    return path;
  }
  TestDataDir dir_;
};

TEST_F(FolderListingTest, FilesComeBeforeSubFoldersAndOnlyRegularFilesCount) {
  const std::string root = dir_.File("Root");
  Make("Root/z/f");
  Make("Root/m/n/h");
  Make("Root/m/g");
  Make("Root/b.txt");
  Make("Root/a.txt");
  std::filesystem::create_directories(LocalPath(root, "empty/deeper"));
  // A link back to the top would list the tree for ever; a link to a file is
  // that file; a link to nothing is skipped.
  // Wine has no symbolic links (and Windows grants them to few users): then those cases are left
  // out.
  std::error_code no_links;
  std::filesystem::create_directory_symlink(root, LocalPath(root, "loop"), no_links);
  if (!no_links)
    std::filesystem::create_symlink(LocalPath(root, "a.txt"), LocalPath(root, "linked.txt"));
  if (!no_links)
    std::filesystem::create_symlink(LocalPath(root, "missing"), LocalPath(root, "dangling"));
  // A FIFO would block the worker that opened it.
  const bool fifo = std::system(("mkfifo '" + root + "/pipe'").c_str()) == 0;

  std::vector<std::string> files;
  ASSERT_TRUE(ListFolderFiles(root, &files));
  std::vector<std::string> expected = {LocalPath(root, "a.txt"),      LocalPath(root, "b.txt"),
                                       LocalPath(root, "linked.txt"), LocalPath(root, "m/g"),
                                       LocalPath(root, "m/n/h"),      LocalPath(root, "z/f")};
  if (no_links) expected.erase(expected.begin() + 2);
  EXPECT_EQ(expected, files);
  if (no_links) GTEST_SKIP() << "symbolic links are not available; the link cases were not tested";
  if (!fifo) GTEST_SKIP() << "mkfifo is not available; the FIFO case was not tested";
}

TEST_F(FolderListingTest, FolderThatCannotBeOpenedFails) {
  std::vector<std::string> files;
  EXPECT_FALSE(ListFolderFiles(dir_.File("missing"), &files));
  EXPECT_FALSE(ListFolderFiles(Make("plain"), &files));
  EXPECT_TRUE(files.empty());
  std::filesystem::create_directories(dir_.File("only/empty/folders"));
  EXPECT_TRUE(ListFolderFiles(dir_.File("only"), &files));
  EXPECT_TRUE(files.empty());
}

}  // namespace
}  // namespace vexa
