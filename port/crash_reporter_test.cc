#include "port/crash_reporter.h"

#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>

#include "gtest/gtest.h"
#include "port/thread.h"

namespace vexa::port {
namespace {

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

uint64_t LittleEndian(const std::string& bytes, size_t at, size_t width) {
  uint64_t v = 0;
  for (size_t i = 0; i < width; ++i)
    v |= uint64_t{static_cast<unsigned char>(bytes[at + i])} << (8 * i);
  return v;
}

TEST(CrashReporterTest, BaseNameFollowsTheTimePattern) {
  // Not installed in this process: UTC.
  EXPECT_EQ("20260102030405006_vexaupload", CrashReportBaseName(1767323045006, "vexaupload"));
  EXPECT_EQ("19991231235959999_host.exe", CrashReportBaseName(946684799999, "host.exe"));
}

// The zone's rules are read at install for the years ahead: next year's
// winter and summer in Central European time, and the change between them.
TEST(CrashReporterDeathTest, BaseNameFollowsTheZoneRulesReadAtInstall) {
  struct tm now;
  const time_t t = ::time(nullptr);
  ::gmtime_r(&t, &now);
  const int year = now.tm_year + 1900 + 1;
  auto utc_ms = [year](int mon, int day, int hour, int min) {
    struct tm u = {};
    u.tm_year = year - 1900;
    u.tm_mon = mon - 1;
    u.tm_mday = day;
    u.tm_hour = hour;
    u.tm_min = min;
    return static_cast<int64_t>(::timegm(&u)) * 1000 + 7;
  };
  // Summer time starts on the last Sunday of March at 01:00 UTC.
  int last_sunday = 31;
  for (;; --last_sunday) {
    struct tm u = {};
    u.tm_year = year - 1900;
    u.tm_mon = 2;
    u.tm_mday = last_sunday;
    const time_t day = ::timegm(&u);
    ::gmtime_r(&day, &u);
    if (u.tm_wday == 0) break;
  }
  const std::string y = std::to_string(year);
  const std::string march = y + "03" + std::to_string(last_sunday);
  // Runs in the child: exits 0 when every name is as expected.
  auto check = [&] {
    ::setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    ::tzset();
    InstallCrashReporter("zone");
    const std::vector<std::pair<int64_t, std::string>> cases = {
        {utc_ms(1, 15, 12, 0), y + "0115130000007_zone"},
        {utc_ms(7, 1, 12, 0), y + "0701140000007_zone"},
        {utc_ms(3, last_sunday, 0, 59), march + "015900007_zone"},
        {utc_ms(3, last_sunday, 1, 0), march + "030000007_zone"},
    };
    bool ok = true;
    for (const auto& [ms, want] : cases) {
      const std::string got = CrashReportBaseName(ms, "zone");
      if (got != want) {
        std::fprintf(stderr, "want %s got %s\n", want.c_str(), got.c_str());
        ok = false;
      }
    }
    std::exit(ok ? 0 : 1);
  };
  EXPECT_EXIT(check(), ::testing::ExitedWithCode(0), "");
}

TEST(CrashReporterDeathTest, FatalSignalLeavesATextReportAndADump) {
  std::random_device rd;
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("vexa-crash-" + std::to_string(rd()));
  std::filesystem::create_directories(dir);
  EXPECT_EXIT(
      {
        InstallCrashReporter("/opt/tools/crashy.bin");
        SetCrashReportFolder(dir.string() + "/");
        std::raise(SIGSEGV);
      },
      ::testing::KilledBySignal(SIGSEGV), "");

  std::vector<std::filesystem::path> files;
  for (const auto& e : std::filesystem::directory_iterator(dir)) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  ASSERT_EQ(2u, files.size());
  const std::regex name(R"(\d{17}_crashy\.bin\.(dmp|exception))");
  EXPECT_TRUE(std::regex_match(files[0].filename().string(), name)) << files[0];
  EXPECT_EQ(".dmp", files[0].extension());
  EXPECT_EQ(".exception", files[1].extension());
  EXPECT_EQ(files[0].stem(), files[1].stem());

  const std::string text = ReadFile(files[1]);
  EXPECT_NE(std::string::npos, text.find("Unhandled signal 11 (SIGSEGV)")) << text;
  EXPECT_NE(std::string::npos, text.find("Process: ")) << text;
  EXPECT_NE(std::string::npos, text.find("Thread: ")) << text;
  EXPECT_NE(std::string::npos, text.find("Backtrace:\n")) << text;

  const std::string dump = ReadFile(files[0]);
  ASSERT_GE(dump.size(), 36u);
  EXPECT_EQ("VEXADMP1", dump.substr(0, 8));
  EXPECT_EQ(11u, LittleEndian(dump, 8, 4));
  const uint64_t registers = LittleEndian(dump, 32, 4);
  const size_t stack_at = 36 + registers * 8;
  ASSERT_GE(dump.size(), stack_at + 16);
  const uint64_t stack_bytes = LittleEndian(dump, stack_at + 8, 8);
  EXPECT_GT(stack_bytes, 0u);
  EXPECT_EQ(stack_at + 16 + stack_bytes, dump.size());
  std::filesystem::remove_all(dir);
}

// A fresh folder for the reports of one crashed child, removed at the end.
class ReportFolder {
 public:
  ReportFolder() {
    std::random_device rd;
    dir_ = std::filesystem::temp_directory_path() / ("vexa-crash-" + std::to_string(rd()));
    std::filesystem::create_directories(dir_);
  }
  ~ReportFolder() { std::filesystem::remove_all(dir_); }
  std::string path() const { return dir_.string(); }
  std::vector<std::filesystem::path> Files() const {
    std::vector<std::filesystem::path> files;
    for (const auto& e : std::filesystem::directory_iterator(dir_)) files.push_back(e.path());
    std::sort(files.begin(), files.end());
    return files;
  }

 private:
  std::filesystem::path dir_;
};

// Recurses until the stack runs out (the limit is never reached).
volatile int g_overflow_limit = 1 << 30;
[[gnu::noinline]] int Overflow(int depth) {
  if (depth > g_overflow_limit) return depth;
  volatile char frame[512];
  frame[0] = static_cast<char>(depth);
  return Overflow(depth + 1) + frame[0];
}

// A stack overflow on a thread the program started itself still leaves a
// report: the handler needs a stack of its own on that thread too.
TEST(CrashReporterDeathTest, StackOverflowOnAStartedThreadLeavesAReport) {
  ReportFolder dir;
  EXPECT_EXIT(
      {
        InstallCrashReporter("overflow");
        SetCrashReportFolder(dir.path());
        StartDetachedThread([] { Overflow(0); });
        for (;;) ::pause();
      },
      ::testing::KilledBySignal(SIGSEGV), "");
  const auto files = dir.Files();
  ASSERT_EQ(2u, files.size());
  const std::string text = ReadFile(files[1]);
  EXPECT_NE(std::string::npos, text.find("Unhandled signal 11 (SIGSEGV)")) << text;
}

// The local time in the name the handler writes follows the zone's rules at
// the time of the crash, not the offset in force when it was installed: the
// child's zone switches to summer time (one hour ahead of UTC) two seconds
// after the install.
TEST(CrashReporterDeathTest, NameCarriesTheLocalTimeOfTheCrash) {
  ReportFolder dir;
  const time_t now = ::time(nullptr);
  const time_t change = now + 2;
  struct tm u;
  ::gmtime_r(&change, &u);
  // Standard time is UTC; summer time starts at `change` and ends half a
  // year later (POSIX rules: zero-based day of the year / time of day).
  char zone[128];
  std::snprintf(zone, sizeof(zone), "STD0DST,%d/%02d:%02d:%02d,%d/00:00:00", u.tm_yday, u.tm_hour,
                u.tm_min, u.tm_sec, (u.tm_yday + 180) % 365);
  const time_t before = ::time(nullptr);
  EXPECT_EXIT(
      {
        ::setenv("TZ", zone, 1);
        ::tzset();
        InstallCrashReporter("tz");
        SetCrashReportFolder(dir.path());
        while (::time(nullptr) <= change) ::usleep(50 * 1000);
        std::raise(SIGSEGV);
      },
      ::testing::KilledBySignal(SIGSEGV), "");
  const time_t after = ::time(nullptr);
  const auto files = dir.Files();
  ASSERT_EQ(2u, files.size());
  const std::string name = files[0].stem().string();
  ASSERT_TRUE(std::regex_match(name, std::regex(R"(\d{17}_tz)"))) << name;
  struct tm t = {};
  t.tm_year = std::stoi(name.substr(0, 4)) - 1900;
  t.tm_mon = std::stoi(name.substr(4, 2)) - 1;
  t.tm_mday = std::stoi(name.substr(6, 2));
  t.tm_hour = std::stoi(name.substr(8, 2));
  t.tm_min = std::stoi(name.substr(10, 2));
  t.tm_sec = std::stoi(name.substr(12, 2));
  const time_t local = ::timegm(&t);  // the name's fields read as UTC
  EXPECT_GE(local, change + 3600) << name;
  EXPECT_LE(local, after + 3600) << name;
  EXPECT_GE(local, before + 3600) << name;
}

}  // namespace
}  // namespace vexa::port
