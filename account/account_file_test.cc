#include "account/account_file.h"

#include <atomic>
#include <thread>

#include "account/test_data_dir.h"
#include "gtest/gtest.h"

namespace vexa {
namespace {

class AccountFileTest : public ::testing::Test {
 protected:
  void SetUp() override { ForgetAccountFile(); }
  void TearDown() override { ForgetAccountFile(); }

  void WriteAccountFile(const std::string& text) { WriteWholeFile(dir_.File("account.ini"), text); }

  TestDataDir dir_;
  std::string account_, digest_;
  bool remember_ = true, auto_ = true;
};

TEST_F(AccountFileTest, WritesOneSectionAndReadsItBack) {
  const std::string digest(40, 'a');
  ASSERT_TRUE(WriteRememberedAccount("1001", "alice", digest, true, false));
  EXPECT_EQ("[1001]\r\naccount=alice\r\nauto=0\r\nremember=1\r\nsession=" + digest + "\r\n",
            ReadWholeFile(dir_.File("account.ini")));
  ASSERT_TRUE(ReadRememberedAccount(&account_, &digest_, &remember_, &auto_));
  EXPECT_EQ("alice", account_);
  EXPECT_EQ(digest, digest_);
  EXPECT_TRUE(remember_);
  EXPECT_FALSE(auto_);

  // Not remembered: the digest is not kept.
  ASSERT_TRUE(WriteRememberedAccount("1002", "bob", digest, false, true));
  EXPECT_EQ("[1002]\r\naccount=bob\r\nauto=1\r\nremember=0\r\nsession=\r\n",
            ReadWholeFile(dir_.File("account.ini")));
}

TEST_F(AccountFileTest, ReadsTheFirstSectionOnly) {
  WriteAccountFile("[1]\naccount=first\nsession=\nremember=2\nauto=x\n[2]\naccount=second\n");
  ASSERT_TRUE(ReadRememberedAccount(&account_, &digest_, &remember_, &auto_));
  EXPECT_EQ("first", account_);
  EXPECT_TRUE(remember_);  // any non-zero number
  EXPECT_FALSE(auto_);     // not a number
}

TEST_F(AccountFileTest, MissingKeyFailsAfterReadingWhatCameBefore) {
  WriteAccountFile("[1]\r\naccount=carol\r\nsession=abc\r\nremember=1\r\n");
  EXPECT_FALSE(ReadRememberedAccount(&account_, &digest_, &remember_, &auto_));
  EXPECT_EQ("carol", account_);
  EXPECT_EQ("abc", digest_);
  EXPECT_FALSE(remember_);
}

TEST_F(AccountFileTest, NoFileGivesNothing) {
  account_ = "stale";
  EXPECT_FALSE(ReadRememberedAccount(&account_, &digest_, &remember_, &auto_));
  EXPECT_EQ("", account_);
  EXPECT_EQ("", digest_);
}

TEST_F(AccountFileTest, SurvivesForgettingAndIsPrivate) {
  ASSERT_TRUE(WriteRememberedAccount("7", "dave", std::string(40, 'f'), true, true));
  ForgetAccountFile();
  ASSERT_TRUE(ReadRememberedAccount(&account_, &digest_, &remember_, &auto_));
  EXPECT_EQ("dave", account_);
#if !defined( \
    _WIN32)  // Windows has no mode bits: the profile folder's access list keeps it private there.
  const auto perms = std::filesystem::status(dir_.File("account.ini")).permissions();
  EXPECT_EQ(std::filesystem::perms::none,
            perms & (std::filesystem::perms::group_all | std::filesystem::perms::others_all));
#endif
}

// A read racing the write must never mix the old account into the new file.
TEST_F(AccountFileTest, WriteIsAtomicWithRespectToReads) {
  ASSERT_TRUE(WriteRememberedAccount("1", "one", std::string(40, '1'), true, true));
  std::atomic<bool> done{false};
  std::atomic<int> bad_reads{0};
  std::thread reader([&] {
    std::string a, d;
    bool r, au;
    while (!done.load()) {
      if (!ReadRememberedAccount(&a, &d, &r, &au) || d != std::string(40, a == "one" ? '1' : '2')) {
        ++bad_reads;
      }
    }
  });
  for (int i = 0; i < 300; ++i) {
    if (i % 2 == 0) {
      WriteRememberedAccount("2", "two", std::string(40, '2'), true, true);
    } else {
      WriteRememberedAccount("1", "one", std::string(40, '1'), true, true);
    }
  }
  done = true;
  reader.join();
  EXPECT_EQ(0, bad_reads.load());
  EXPECT_EQ(1u, AccountFile().SectionNames().size());
  const std::string text = ReadWholeFile(dir_.File("account.ini"));
  EXPECT_EQ(text.find("[2]"), std::string::npos) << text;  // last write was "1"
}

}  // namespace
}  // namespace vexa
