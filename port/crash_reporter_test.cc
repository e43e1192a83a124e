#include "port/crash_reporter.h"

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>

#include "gtest/gtest.h"

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
  EXPECT_EQ("20260102030405006_vexaupload",
            CrashReportBaseName(2026, 1, 2, 3, 4, 5, 6, "vexaupload"));
  EXPECT_EQ("19991231235959999_host.exe",
            CrashReportBaseName(1999, 12, 31, 23, 59, 59, 999, "host.exe"));
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

}  // namespace
}  // namespace vexa::port
