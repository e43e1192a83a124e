#include "account/ini_file.h"

#include <filesystem>

#include "account/test_data_dir.h"
#include "gtest/gtest.h"

namespace vexa {
namespace {

class IniFileTest : public ::testing::Test {
 protected:
  TestDataDir dir_;
  std::string path_ = dir_.File("store.ini");
};

TEST_F(IniFileTest, SavesSectionsInFirstSeenOrderWithSortedKeysAndCrLf) {
  IniFile ini;
  ASSERT_TRUE(ini.Set("zeta", "b", "2"));
  ASSERT_TRUE(ini.Set("zeta", "a", "1"));
  ASSERT_TRUE(ini.Set("alpha", "k", "v w"));
  ASSERT_TRUE(ini.Set("zeta", "a", "one"));  // overwrites, keeps the order
  ASSERT_TRUE(ini.Save(path_));
  EXPECT_EQ("[zeta]\r\na=one\r\nb=2\r\n[alpha]\r\nk=v w\r\n", ReadWholeFile(path_));
  EXPECT_EQ(path_, ini.path());
}

TEST_F(IniFileTest, LoadsLfAndCrLfAndKeepsSpacesAroundEquals) {
  WriteWholeFile(path_,
                 "orphan=1\n"
                 "  [s p] \r\n"
                 "key = value with = sign\r\n"
                 "no equals here\n"
                 "\n"
                 "[second]\n"
                 "x=1\n"
                 "x=2\n");
  IniFile ini;
  ASSERT_TRUE(ini.Load(path_));
  std::string v;
  ASSERT_TRUE(ini.Get("s p", "key ", &v));
  EXPECT_EQ(" value with = sign", v);
  ASSERT_TRUE(ini.Get("second", "x", &v));
  EXPECT_EQ("2", v);
  // Lines before the first header live in the unnamed section, which is
  // kept in memory but never listed or written.
  ASSERT_TRUE(ini.Get("", "orphan", &v));
  EXPECT_EQ("1", v);
  EXPECT_EQ((std::vector<std::string>{"s p", "second"}), ini.SectionNames());
  ASSERT_TRUE(ini.Save());
  EXPECT_EQ("[s p]\r\nkey = value with = sign\r\n[second]\r\nx=2\r\n", ReadWholeFile(path_));
}

TEST_F(IniFileTest, MissingOrEmptyFileLeavesContent) {
  IniFile ini;
  ini.Set("s", "k", "v");
  EXPECT_FALSE(ini.Load(dir_.File("missing.ini")));
  WriteWholeFile(path_, "");
  EXPECT_TRUE(ini.Load(path_));
  std::string v;
  EXPECT_TRUE(ini.Get("s", "k", &v));
  EXPECT_FALSE(ini.Get("s", "other", &v));
  EXPECT_FALSE(ini.Get("other", "k", &v));
  EXPECT_EQ("v", v);
}

TEST_F(IniFileTest, SaveNeedsPathAndWritesEmptyFileForNoSections) {
  IniFile ini;
  EXPECT_FALSE(ini.Save());
  ASSERT_TRUE(ini.Save(path_));
  EXPECT_TRUE(std::filesystem::exists(path_));
  EXPECT_EQ("", ReadWholeFile(path_));
  EXPECT_FALSE(ini.Save(dir_.File("no/such/folder/x.ini")));
}

TEST_F(IniFileTest, RemoveSectionAndClear) {
  IniFile ini;
  ini.Set("a", "k", "1");
  ini.Set("b", "k", "2");
  ini.RemoveSection("a");
  ini.RemoveSection("never there");
  EXPECT_EQ(std::vector<std::string>{"b"}, ini.SectionNames());
  EXPECT_FALSE(ini.HasSection("a"));
  ini.SetPath(path_);
  ini.Clear();
  EXPECT_TRUE(ini.SectionNames().empty());
  EXPECT_EQ(path_, ini.path());
}

TEST_F(IniFileTest, RemovingManySectionsKeepsTheOrderOfTheRest) {
  IniFile ini;
  std::vector<std::string> kept;
  for (int i = 0; i < 1000; ++i) ini.Set("s" + std::to_string(i), "k", std::to_string(i));
  // Two of every three go, in an order unlike the file's; a removed section
  // set again goes to the end.
  for (int i = 999; i >= 0; --i) {
    if (i % 3 != 0) ini.RemoveSection("s" + std::to_string(i));
  }
  for (int i = 0; i < 1000; i += 3) kept.push_back("s" + std::to_string(i));
  ASSERT_EQ(kept, ini.SectionNames());
  ini.RemoveSection("s0");
  ini.Set("s0", "k", "again");
  ini.Set("new", "k", "x");
  kept.erase(kept.begin());
  kept.push_back("s0");
  kept.push_back("new");
  EXPECT_EQ(kept, ini.SectionNames());
  std::string v;
  ASSERT_TRUE(ini.Get("s999", "k", &v));
  EXPECT_EQ("999", v);
  EXPECT_FALSE(ini.Get("s998", "k", &v));
  const std::string text = ini.Serialize();
  EXPECT_EQ(0u, text.find("[s3]\r\nk=3\r\n[s6]"));
  EXPECT_NE(std::string::npos, text.find("[s999]\r\nk=999\r\n[s0]\r\nk=again\r\n[new]\r\nk=x\r\n"));
}

TEST_F(IniFileTest, SectionMetTwiceIsWrittenOnceWithBothEntries) {
  IniFile ini;
  ini.Parse("[a]\nx=1\n[b]\ny=2\n[a]\nz=3\n");
  EXPECT_EQ((std::vector<std::string>{"a", "b"}), ini.SectionNames());
  EXPECT_EQ("[a]\r\nx=1\r\nz=3\r\n[b]\r\ny=2\r\n", ini.Serialize());
  ini.RemoveSection("a");
  EXPECT_EQ("[b]\r\ny=2\r\n", ini.Serialize());
}

TEST_F(IniFileTest, RefusesTextTheFormatCannotCarry) {
  IniFile ini;
  EXPECT_FALSE(ini.Set("a\nb", "k", "v"));
  EXPECT_FALSE(ini.Set("s", "k", "line1\r\nline2"));
  EXPECT_FALSE(ini.Set("s", "k=x", "v"));
  // Reading trims the line, so such a value would come back shorter.
  EXPECT_FALSE(ini.Set("s", "k", "/a/folder "));
  EXPECT_FALSE(ini.Set("s", "k", "tab\t"));
  EXPECT_TRUE(ini.SectionNames().empty());
  EXPECT_TRUE(ini.Set("s ", "k", " leading is kept"));
  ASSERT_TRUE(ini.Save(path_));
  IniFile back;
  ASSERT_TRUE(back.Load(path_));
  std::string v;
  ASSERT_TRUE(back.Get("s ", "k", &v));
  EXPECT_EQ(" leading is kept", v);
}

TEST_F(IniFileTest, ReplacesTheFileWholeAndPrivately) {
  IniFile ini;
  ini.Set("s", "k", "old");
  ASSERT_TRUE(ini.Save(path_));
  ini.Set("s", "k", "new");
  ASSERT_TRUE(ini.Save());
  EXPECT_EQ("[s]\r\nk=new\r\n", ReadWholeFile(path_));
  EXPECT_FALSE(std::filesystem::exists(path_ + ".tmp"));
#if !defined( \
    _WIN32)  // Windows has no mode bits: the profile folder's access list keeps it private there.
  const auto perms = std::filesystem::status(path_).permissions();
  EXPECT_EQ(std::filesystem::perms::none,
            perms & (std::filesystem::perms::group_all | std::filesystem::perms::others_all));
#endif
}

}  // namespace
}  // namespace vexa
