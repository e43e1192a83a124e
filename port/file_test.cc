#include "port/file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "port/last_error.h"

namespace vexa::port {
namespace {

// One name per run of the suite, so two runs at once (two checkouts on one machine) do not remove
// each other's files; death-test children, fresh processes, inherit it and use their parent's
// folder.
std::string RunId() {
  if (const char* id = std::getenv("VEXA_PORT_TEST_RUN")) return id;
  const std::string id = std::to_string(std::random_device{}());
  ::setenv("VEXA_PORT_TEST_RUN", id.c_str(), 1);
  return id;
}

class FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = (std::filesystem::temp_directory_path() /
             ("vexa_port_" + RunId() + "_" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name()))
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

// ---- ScanFile ----

// Scans the whole file into *got.
ScanResult ScanAll(const std::string& path, ScanMode mode, std::string* got) {
  return ScanFile(path, mode, [got](const uint8_t* p, size_t n) {
    got->append(reinterpret_cast<const char*>(p), n);
    return true;
  });
}

std::string WriteRandom(const std::string& path, size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string data(size, '\0');
  for (auto& c : data) c = static_cast<char>(rng());
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return "";
  std::fwrite(data.data(), 1, data.size(), f);
  std::fclose(f);
  return data;
}

// Every byte of a piece, as a digest would touch it.
uint8_t Touch(const uint8_t* data, size_t length) {
  uint8_t x = 0;
  for (size_t i = 0; i < length; ++i) x ^= static_cast<const volatile uint8_t*>(data)[i];
  return x;
}

TEST_F(FileTest, ScanDeliversTheContentInOrderEveryWay) {
  // Around the read block (64 KiB) and across mapped windows (16 MiB).
  for (size_t size : {size_t{0}, size_t{1}, size_t{65535}, size_t{65536}, size_t{65537},
                      size_t{(32u << 20) + 4099}}) {
    const std::string path = root_ + "f" + std::to_string(size);
    const std::string data = WriteRandom(path, size, static_cast<uint32_t>(size));
    for (ScanMode mode : {ScanMode::kAuto, ScanMode::kMapped, ScanMode::kRead}) {
      std::string got;
      EXPECT_EQ(ScanAll(path, mode, &got), ScanResult::kDone)
          << size << " mode " << static_cast<int>(mode);
      EXPECT_TRUE(got == data) << size << " mode " << static_cast<int>(mode);
    }
  }
}

TEST_F(FileTest, ScanStopsAndRefusesWhatIsNoFile) {
  const std::string path = root_ + "f";
  WriteRandom(path, 300000, 1);
  for (ScanMode mode : {ScanMode::kMapped, ScanMode::kRead}) {
    int calls = 0;
    EXPECT_EQ(ScanFile(path, mode,
                       [&](const uint8_t*, size_t) {
                         ++calls;
                         return false;
                       }),
              ScanResult::kStopped);
    EXPECT_EQ(calls, 1);
  }
  const auto never = [](const uint8_t*, size_t) {
    ADD_FAILURE() << "visited";
    return true;
  };
  EXPECT_EQ(ScanFile(root_ + "missing", ScanMode::kAuto, never), ScanResult::kOpenFailed);
  EXPECT_EQ(LastError(), kErrorFileNotFound);
  EXPECT_EQ(ScanFile(root_, ScanMode::kAuto, never), ScanResult::kOpenFailed);
  EXPECT_EQ(LastError(), kErrorAccessDenied);
  const std::string fifo = root_ + "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(ScanFile(fifo, ScanMode::kAuto, never), ScanResult::kOpenFailed);
  EXPECT_EQ(LastError(), kErrorAccessDenied);
  // Not mappable: read, as the file system hands it out.
  if (PathExists("/proc/self/status")) {
    std::string got;
    EXPECT_EQ(ScanAll("/proc/self/status", ScanMode::kAuto, &got), ScanResult::kDone);
    EXPECT_NE(got.find("Pid:"), std::string::npos);
  }
}

TEST_F(FileTest, FileTruncatedWhileMappedFailsCleanly) {
  const std::string path = root_ + "f";
  // Twice: the first fault must leave SIGBUS deliverable for the second.
  for (int round = 0; round < 2; ++round) {
    WriteRandom(path, 1 << 20, 2);
    int calls = 0;
    EXPECT_EQ(ScanFile(path, ScanMode::kMapped,
                       [&](const uint8_t* p, size_t n) {
                         ++calls;
                         std::filesystem::resize_file(path, 100000);
                         Touch(p, n);
                         return true;
                       }),
              ScanResult::kReadFailed)
        << round;
    EXPECT_EQ(calls, 1);
  }

  // Cut inside the second window while the third is being prefaulted: the
  // prefault must not fault, the second window must.
  WriteRandom(path, 40 << 20, 3);
  int calls = 0;
  EXPECT_EQ(ScanFile(path, ScanMode::kMapped,
                     [&](const uint8_t* p, size_t n) {
                       if (++calls == 1) std::filesystem::resize_file(path, 17 << 20);
                       Touch(p, n);
                       return true;
                     }),
            ScanResult::kReadFailed);
  EXPECT_EQ(calls, 2);

  // Cut inside the last page: the rest of that page reads as zeros, no fault.
  WriteRandom(path, 10000, 3);
  EXPECT_EQ(ScanFile(path, ScanMode::kMapped,
                     [&](const uint8_t* p, size_t n) {
                       std::filesystem::resize_file(path, 9000);
                       Touch(p, n);
                       return true;
                     }),
            ScanResult::kReadFailed);

  // Grown while mapped: the appended bytes are read too.
  const std::string data = WriteRandom(path, 200000, 4);
  std::string got;
  EXPECT_EQ(ScanFile(path, ScanMode::kMapped,
                     [&](const uint8_t* p, size_t n) {
                       if (got.empty()) {
                         std::FILE* f = std::fopen(path.c_str(), "ab");
                         std::fputs("tail", f);
                         std::fclose(f);
                       }
                       got.append(reinterpret_cast<const char*>(p), n);
                       return true;
                     }),
            ScanResult::kDone);
  EXPECT_TRUE(got == data + "tail");
}

// Drops a file's pages (all, or `length` bytes from `offset`) from the page
// cache, as after a reboot.
void Evict(const std::string& path, off_t offset = 0, off_t length = 0) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  ::fdatasync(fd);
  ::posix_fadvise(fd, offset, length, POSIX_FADV_DONTNEED);
  ::close(fd);
}

TEST_F(FileTest, ScanReadsWhatIsNotInThePageCache) {
  const std::string path = root_ + "f";
  const std::string data = WriteRandom(path, (20 << 20) + 5, 9);
  Evict(path);
  std::string got;
  EXPECT_EQ(ScanAll(path, ScanMode::kAuto, &got), ScanResult::kDone);
  EXPECT_TRUE(got == data);

  // Cut while read: the bytes that never came are a failure, not a shorter file.
  Evict(path);
  EXPECT_EQ(ScanFile(path, ScanMode::kAuto,
                     [&](const uint8_t*, size_t) {
                       std::filesystem::resize_file(path, 1 << 20);
                       return true;
                     }),
            ScanResult::kReadFailed);
}

TEST_F(FileTest, ScanSwitchesBetweenCachedAndReadWindows) {
  // Windows of 16 MiB: cached, dropped, cached, dropped (partly), so the
  // decision made ahead for each next window must land on that window.
  const std::string path = root_ + "f";
  const std::string data = WriteRandom(path, (56 << 20) + 77, 10);
  Evict(path, 16 << 20, 16 << 20);
  Evict(path, 50 << 20, 0);
  std::string got;
  EXPECT_EQ(ScanAll(path, ScanMode::kAuto, &got), ScanResult::kDone);
  EXPECT_TRUE(got == data);

  // Stopped in the third window: what came before is intact, nothing after.
  for (ScanMode mode : {ScanMode::kAuto, ScanMode::kMapped}) {
    Evict(path, 16 << 20, 16 << 20);
    got.clear();
    EXPECT_EQ(ScanFile(path, mode,
                       [&](const uint8_t* p, size_t n) {
                         got.append(reinterpret_cast<const char*>(p), n);
                         return got.size() < (40u << 20);
                       }),
              ScanResult::kStopped);
    ASSERT_GE(got.size(), 40u << 20);
    EXPECT_TRUE(got == data.substr(0, got.size())) << static_cast<int>(mode);
  }
}

// A fault that is no scanned mapping's reaches the handler installed before.
void ExitSeven(int) { ::_exit(7); }

void FaultOnTruncatedMapping(const std::string& path) {
  WriteRandom(path, 1 << 16, 5);
  const int fd = ::open(path.c_str(), O_RDONLY);
  void* p = ::mmap(nullptr, 1 << 16, PROT_READ, MAP_SHARED, fd, 0);
  std::filesystem::resize_file(path, 0);
  Touch(static_cast<const uint8_t*>(p), 1 << 16);
}

TEST_F(FileTest, OtherBusErrorsReachThePreviousHandler) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process: the first scan installs
#if defined(__SANITIZE_THREAD__)
  // A handler that ends the process during a scan leaves the scan's helper
  // thread running, which ThreadSanitizer would report as a leak and turn
  // into another exit status. The children read this when they start.
  const char* tsan = std::getenv("TSAN_OPTIONS");
  ::setenv("TSAN_OPTIONS", (std::string(tsan ? tsan : "") + ":report_thread_leaks=0").c_str(), 1);
#endif
  const std::string path = root_ + "f";
  const std::string other = root_ + "other";
  WriteRandom(path, 1 << 20, 6);
  const auto setup = [&] {
    ::signal(SIGBUS, ExitSeven);
    ScanFile(path, ScanMode::kMapped, [](const uint8_t*, size_t) { return true; });
  };
  // Outside any scan, sent by kill(), and during a scan but elsewhere.
  EXPECT_EXIT((setup(), FaultOnTruncatedMapping(other)), ::testing::ExitedWithCode(7), "");
  EXPECT_EXIT((setup(), ::raise(SIGBUS)), ::testing::ExitedWithCode(7), "");
  EXPECT_EXIT((setup(), ScanFile(path, ScanMode::kMapped,
                                 [&](const uint8_t*, size_t) {
                                   FaultOnTruncatedMapping(other);
                                   return true;
                                 })),
              ::testing::ExitedWithCode(7), "");
  // With only the default before it, such a fault still ends the process
  // (by SIGBUS; a sanitizer's own handler reports and aborts instead).
  EXPECT_DEATH((ScanFile(path, ScanMode::kMapped, [](const uint8_t*, size_t) { return true; }),
                FaultOnTruncatedMapping(other)),
               "");
}

TEST_F(FileTest, ScanReadsWhenItsHandlerWasReplaced) {
  const std::string path = root_ + "f";
  const std::string data = WriteRandom(path, 1 << 20, 7);
  std::string got;
  const auto collect = [&](const uint8_t* p, size_t n) {
    got.append(reinterpret_cast<const char*>(p), n);
    return true;
  };
  ASSERT_EQ(ScanFile(path, ScanMode::kMapped, collect), ScanResult::kDone);  // installed now
  struct sigaction ours, other;
  std::memset(&other, 0, sizeof(other));
  other.sa_handler = ExitSeven;
  ASSERT_EQ(::sigaction(SIGBUS, &other, &ours), 0);
  got.clear();
  EXPECT_EQ(ScanFile(path, ScanMode::kMapped, collect), ScanResult::kReadFailed);
  got.clear();
  EXPECT_EQ(ScanFile(path, ScanMode::kAuto, collect), ScanResult::kDone);
  EXPECT_TRUE(got == data);
  ASSERT_EQ(::sigaction(SIGBUS, &ours, nullptr), 0);
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
