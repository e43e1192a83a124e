#include "port/data_folder.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "gtest/gtest.h"
#include "port/debug.h"
#include "port/file.h"

namespace vexa::port {
namespace {

TEST(DataFolderTest, HonoursEnvironmentAndIsPrivate) {
  const auto base = std::filesystem::temp_directory_path() /
                    ("vexa_data_folder_test_" + std::to_string(std::random_device{}()));
  std::filesystem::remove_all(base);
  const std::string dir = (base / "nested" / "data").string();
  ASSERT_EQ(::setenv("VEXAUPLOAD_DATA_DIR", dir.c_str(), 1), 0);

  const std::string folder = GetDataFolder();
  EXPECT_EQ(folder, dir + kPathSeparator);
  EXPECT_TRUE(IsDirectory(dir));
  const auto perms = std::filesystem::status(dir).permissions();
  EXPECT_EQ(perms & std::filesystem::perms::all, std::filesystem::perms::owner_all);
  // A second call finds it.
  EXPECT_EQ(GetDataFolder(), folder);

  // A folder left open is closed again.
  std::filesystem::permissions(dir, std::filesystem::perms::all);
  EXPECT_EQ(GetDataFolder(), folder);
  EXPECT_EQ(std::filesystem::status(dir).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_all);
  // One another user owns is not used.
  if (::geteuid() == 0) {
    ASSERT_EQ(0, ::chown(dir.c_str(), 65534, 65534));
    SetDebugSink([](std::string_view) {});
    EXPECT_EQ(GetDataFolder(), "");
    SetDebugSink(nullptr);
    ASSERT_EQ(0, ::chown(dir.c_str(), 0, 0));
  }

  // A folder that cannot be made gives an empty answer.
  const std::string blocked = (base / "file").string();
  std::FILE* f = std::fopen(blocked.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  ASSERT_EQ(::setenv("VEXAUPLOAD_DATA_DIR", (blocked + "/sub").c_str(), 1), 0);
  SetDebugSink([](std::string_view) {});  // keep the diagnostic quiet
  EXPECT_EQ(GetDataFolder(), "");
  SetDebugSink(nullptr);

  ::unsetenv("VEXAUPLOAD_DATA_DIR");
  std::filesystem::remove_all(base);
}

TEST(DebugTest, SinkReceivesText) {
  std::string got;
  SetDebugSink([&](std::string_view text) { got.append(text); });
  DebugOut("RESUME PATH: ");
  DebugOut("x\n");
  SetDebugSink(nullptr);
  DebugOut("not seen\n");
  EXPECT_EQ(got, "RESUME PATH: x\n");
}

}  // namespace
}  // namespace vexa::port
