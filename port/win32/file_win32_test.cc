#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "port/data_folder.h"
#include "port/file.h"
#include "port/last_error.h"
#include "port/win32/data_folder_win32.h"
#include "port/win32/wide_path.h"

namespace vexa::port {
namespace {

class Win32FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t tmp[MAX_PATH];
    ASSERT_GT(::GetTempPathW(MAX_PATH, tmp), 0u);
    // A name outside the ANSI code page: every call must take the wide path.
    dir_ = Narrow(tmp) + "vexa_port_\xE6\xB5\x8B\xE8\xAF\x95_" +
           std::to_string(::GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectories(dir_ + "\\a\\b\\"));
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(WidePath(dir_)), ignored);
  }
  void Write(const std::string& path, const std::string& content) {
    std::FILE* f = OpenFileShared(path, "wb");
    ASSERT_NE(f, nullptr) << path;
    ASSERT_EQ(std::fwrite(content.data(), 1, content.size(), f), content.size());
    ASSERT_TRUE(SyncFile(f));
    std::fclose(f);
  }
  std::string dir_;
};

TEST_F(Win32FileTest, SharedOpenAndErrorCodes) {
  const std::string path = dir_ + "\\a\\\xE4\xB8\xAD.txt";
  Write(path, "hello");
  uint64_t size = 0;
  ASSERT_TRUE(FileSize64(path, &size));
  EXPECT_EQ(size, 5u);
  EXPECT_TRUE(IsRegularFile(path));
  EXPECT_FALSE(IsDirectory(path));
  EXPECT_FALSE(FileSize64(dir_, &size));
  EXPECT_EQ(LastError(), kErrorAccessDenied);

  {
    // Another program writing the file does not keep us from reading it.
    HANDLE writer =
        ::CreateFileW(Widen(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    std::FILE* f = OpenFileShared(path, "rb");
    EXPECT_NE(f, nullptr);
    if (f != nullptr) std::fclose(f);
    ::CloseHandle(writer);
  }
  {
    // One that allows no sharing does: the code the error table names 32.
    HANDLE locker =
        ::CreateFileW(Widen(path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(locker, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenFileShared(path, "rb"), nullptr);
    EXPECT_EQ(LastError(), kErrorSharingViolation);
    ::CloseHandle(locker);
  }
  EXPECT_EQ(OpenFileShared(dir_ + "\\a\\missing.txt", "rb"), nullptr);
  EXPECT_EQ(LastError(), kErrorFileNotFound);
  EXPECT_EQ(OpenFileShared(dir_ + "\\missing\\x.txt", "rb"), nullptr);
  EXPECT_EQ(LastError(), kErrorPathNotFound);
  EXPECT_FALSE(PathExists(dir_ + "\\a\\missing.txt"));
  EXPECT_EQ(LastError(), kErrorFileNotFound);
}

TEST_F(Win32FileTest, ScanReadsAndMapsTheSameBytes) {
  std::string content;
  for (int i = 0; i < 3 * 1024 * 1024 + 17; ++i)
    content.push_back(static_cast<char>(i * 7 + i / 1000));
  const std::string path = dir_ + "\\big.bin";
  Write(path, content);
  for (ScanMode mode : {ScanMode::kAuto, ScanMode::kRead, ScanMode::kMapped}) {
    std::string seen;
    EXPECT_EQ(ScanFile(path, mode,
                       [&](const uint8_t* d, size_t n) {
                         seen.append(reinterpret_cast<const char*>(d), n);
                         return true;
                       }),
              ScanResult::kDone);
    EXPECT_TRUE(seen == content) << static_cast<int>(mode);
  }
  int pieces = 0;
  EXPECT_EQ(ScanFile(path, ScanMode::kRead, [&](const uint8_t*, size_t) { return ++pieces < 2; }),
            ScanResult::kStopped);
  EXPECT_EQ(ScanFile(dir_ + "\\none", ScanMode::kAuto, [](const uint8_t*, size_t) { return true; }),
            ScanResult::kOpenFailed);
  EXPECT_EQ(LastError(), kErrorFileNotFound);
  EXPECT_EQ(ScanFile(dir_, ScanMode::kAuto, [](const uint8_t*, size_t) { return true; }),
            ScanResult::kOpenFailed);
}

TEST_F(Win32FileTest, ListRenameRemove) {
  Write(dir_ + "\\a\\one", "1");
  Write(dir_ + "\\a\\two", "22");
  std::vector<DirEntry> entries;
  ASSERT_TRUE(ListDirectory(dir_ + "\\a", &entries));
  int files = 0, dirs = 0;
  for (const DirEntry& e : entries) {
    if (e.kind == EntryKind::kFile) ++files;
    if (e.kind == EntryKind::kDirectory && e.name == "b") ++dirs;
  }
  EXPECT_EQ(files, 2);
  EXPECT_EQ(dirs, 1);
  EXPECT_FALSE(ListDirectory(dir_ + "\\none", &entries));

  // A rename replaces the old file, as the atomic saves need.
  ASSERT_TRUE(RenameFile(dir_ + "\\a\\two", dir_ + "\\a\\one"));
  uint64_t size = 0;
  ASSERT_TRUE(FileSize64(dir_ + "\\a\\one", &size));
  EXPECT_EQ(size, 2u);
  EXPECT_TRUE(RemoveFile(dir_ + "\\a\\one"));
  EXPECT_FALSE(RemoveFile(dir_ + "\\a\\one"));
  EXPECT_EQ(LastError(), kErrorFileNotFound);
  // A folder's names are flushed like a file's data; a missing folder is an error.
  EXPECT_TRUE(SyncDirectory(dir_ + "\\a"));
  EXPECT_FALSE(SyncDirectory(dir_ + "\\none"));
  EXPECT_EQ(LastError(), kErrorFileNotFound);

  int64_t mtime = 0;
  ASSERT_TRUE(FileModifiedTime(dir_, &mtime));
  EXPECT_GT(mtime, int64_t{1600000000} * 1000000000);
}

// Either slash separates folders, as in every other call of the system; a
// folder not followed by one is left to the caller.
TEST_F(Win32FileTest, CreateDirectoriesTakesEitherSlash) {
  std::string slashed = dir_;
  std::replace(slashed.begin(), slashed.end(), '\\', '/');
  Write(dir_ + "\\plain.txt", "x");
  const struct {
    std::string path;
    bool result;
    const char* made;  // below dir_, empty for nothing
  } cases[] = {
      {dir_ + "/s1/s2/", true, "\\s1\\s2"},
      {dir_ + "\\m1/m2\\m3/", true, "\\m1\\m2\\m3"},
      {slashed + "/f1/f2/", true, "\\f1\\f2"},
      {dir_ + "//d1//d2\\\\", true, "\\d1\\d2"},
      {"\\\\?\\" + dir_ + "\\x1\\x2\\", true, "\\x1\\x2"},
      {dir_ + "/l1/l2", false, "\\l1"},
      {dir_ + "/plain.txt/below/", false, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CreateDirectories(c.path), c.result) << c.path;
    if (*c.made != '\0') {
      EXPECT_TRUE(IsDirectory(dir_ + c.made)) << c.path;
    }
  }
  EXPECT_FALSE(PathExists(dir_ + "\\l1\\l2"));

  // Roots name no folder to make, written with either slash.
  const struct {
    const char* path;
    size_t root;
  } roots[] = {
      {"rel\\a\\", 0},        {"\\a\\", 1},          {"/a/", 1},
      {"C:a\\", 2},           {"C:/a/", 3},          {"//srv/share/a/", 12},
      {"\\\\srv\\share", 11}, {"\\\\?\\C:\\a\\", 7}, {"\\\\?\\unc/srv/share/a/", 18},
      {"\\\\.\\pipe\\x", 9},
  };
  for (const auto& r : roots) EXPECT_EQ(PathRootLength(r.path), r.root) << r.path;
}

// A folder's members may lie deeper than the old 259-character limit: they
// open, list, rename and go like any other.
TEST_F(Win32FileTest, PathsBeyondTheOldLimitWork) {
  std::string deep = dir_;
  while (deep.size() < 300) deep += "\\" + std::string(40, 'd');
  ASSERT_TRUE(CreateDirectories(deep + "\\"));
  const std::string file = deep + "\\member.bin";
  ASSERT_GT(file.size(), 259u);
  Write(file, "deep");
  uint64_t size = 0;
  ASSERT_TRUE(FileSize64(file, &size));
  EXPECT_EQ(size, 4u);
  EXPECT_TRUE(IsRegularFile(file));
  std::vector<DirEntry> entries;
  ASSERT_TRUE(ListDirectory(deep, &entries));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "member.bin");
  ASSERT_TRUE(RenameFile(file, deep + "\\renamed.bin"));
  EXPECT_TRUE(RemoveFile(deep + "\\renamed.bin"));
  EXPECT_FALSE(PathExists(deep + "\\renamed.bin"));

  // The extended form takes paths literally: "..", "." and "/" are resolved first.
  Write(dir_ + "\\a\\b\\..\\.\\dots.txt", "x");
  EXPECT_TRUE(IsRegularFile(dir_ + "\\a\\dots.txt"));
  EXPECT_TRUE(IsRegularFile(dir_ + "/a/dots.txt"));
}

// A tab in Protected Mode cannot write the roaming profile: at low integrity
// the low-integrity local folder holds the same layout. This test runs at
// medium integrity and keeps the roaming folder.
TEST(Win32DataFolderTest, LowIntegrityUsesTheLowIntegrityLocalFolder) {
  EXPECT_FALSE(IsLowIntegrityProcess());
  PWSTR low = nullptr;
  ASSERT_EQ(::SHGetKnownFolderPath(FOLDERID_LocalAppDataLow, 0, nullptr, &low), S_OK);
  const std::string low_root = Narrow(low);
  ::CoTaskMemFree(low);
  wchar_t roaming[MAX_PATH];
  ASSERT_EQ(::SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, roaming), S_OK);
  struct Case {
    bool low_integrity;
    std::string root;
  } cases[] = {{true, low_root}, {false, Narrow(roaming)}};
  for (const Case& c : cases) {
    const std::string folder = DefaultDataFolder(c.low_integrity);
    EXPECT_EQ(folder, c.root + "\\vexabackup\\upload\\") << c.low_integrity;
    EXPECT_TRUE(IsDirectory(folder)) << folder;
  }
  ASSERT_EQ(::_wputenv(L"VEXAUPLOAD_DATA_DIR="), 0);
  EXPECT_EQ(GetDataFolder(), DefaultDataFolder(false));
}

TEST(Win32DataFolderTest, RoamingProfileOrOverride) {
  ASSERT_EQ(::_wputenv(L"VEXAUPLOAD_DATA_DIR="), 0);
  const std::string folder = GetDataFolder();
  const std::string tail = "\\vexabackup\\upload\\";
  ASSERT_GT(folder.size(), tail.size());
  EXPECT_EQ(folder.substr(folder.size() - tail.size()), tail);
  EXPECT_TRUE(IsDirectory(folder));

  wchar_t tmp[MAX_PATH];
  ASSERT_GT(::GetTempPathW(MAX_PATH, tmp), 0u);
  const std::string mine = Narrow(tmp) + "vexa_data_override\\x";
  ASSERT_EQ(::_wputenv((L"VEXAUPLOAD_DATA_DIR=" + Widen(mine)).c_str()), 0);
  EXPECT_EQ(GetDataFolder(), mine + "\\");
  EXPECT_TRUE(IsDirectory(mine));
  ASSERT_EQ(::_wputenv(L"VEXAUPLOAD_DATA_DIR="), 0);
}

}  // namespace
}  // namespace vexa::port
