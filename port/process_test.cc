#include "port/process.h"

#if !defined(_WIN32)
#include <unistd.h>
#endif

#include <cstdlib>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "port/file_chooser.h"
#include "port/testing/test_environment.h"

namespace vexa::port {
namespace {

// Built beside the tests: see port/testing/process_child.cc.
const char kChild[] = VEXA_PROCESS_CHILD;

// The child's arguments, as it wrote them back (each ended by a NUL).
std::vector<std::string> Echoed(const std::string& output) {
  std::vector<std::string> args;
  for (size_t start = 0; start < output.size();) {
    const size_t end = output.find('\0', start);
    if (end == std::string::npos) break;
    args.push_back(output.substr(start, end - start));
    start = end + 1;
  }
  return args;
}

TEST(RunProgramTest, ArgumentsArriveUnchangedAndTheExitStatusComesBack) {
  const std::vector<std::string> args = {
      "plain", "two words", "", "quote\"inside", "\"quoted\"", "back\\slash", "trailing\\",
      "trailing two\\\\", "slash before quote\\\"x", "tab\there",
      "\xE6\x96\x87\xE4\xBB\xB6 \xC3\xBC",
      // A line break the scripted chooser's title never holds, but the command line must keep.
      "line\nbreak"};
  std::vector<std::string> argv = {kChild, "0"};
  argv.insert(argv.end(), args.begin(), args.end());
  std::string output;
  EXPECT_EQ(0, RunProgram(argv, &output));
  EXPECT_EQ(args, Echoed(output));

  output.clear();
  EXPECT_EQ(7, RunProgram({kChild, "7", "x"}, &output));
  EXPECT_EQ(std::string("x", 2), output);
  // Output may be ignored.
  EXPECT_EQ(3, RunProgram({kChild, "3", "y"}, nullptr));
}

#if !defined(_WIN32)
TEST(RunProgramTest, TheProgramInheritsNoDescriptorButItsStandardOnes) {
  // Not close-on-exec, as a socket a library opened may be.
  constexpr int kHeld = 201;
  ASSERT_EQ(kHeld, ::dup2(0, kHeld));
  std::string output;
  EXPECT_EQ(0, RunProgram({"sh", "-c", "ls /proc/$$/fd"}, &output));
  ::close(kHeld);
  EXPECT_NE(std::string::npos, output.find("2\n")) << output;
  EXPECT_EQ(std::string::npos, output.find(std::to_string(kHeld))) << output;
}
#endif

TEST(RunProgramTest, AProgramThatCannotStartIsAFailure) {
  std::string output;
  EXPECT_EQ(-1, RunProgram({"vexa-no-such-program-anywhere"}, &output));
  EXPECT_EQ(-1, RunProgram({}, &output));
  EXPECT_TRUE(output.empty());
  EXPECT_FALSE(StartProgram({"vexa-no-such-program-anywhere"}));
  EXPECT_TRUE(StartProgram({kChild, "0", "started"}));
}

// The program a script names in place of the system's dialogs.
class ScriptedChooserTest : public ::testing::Test {
 protected:
  void SetUp() override { SetTestEnvironment("VEXAUPLOAD_CHOOSER", kChild); }
  void TearDown() override {
    SetTestEnvironment("VEXAUPLOAD_CHOOSER", nullptr);
    SetTestEnvironment("VEXA_CHILD_PRINT", nullptr);
  }
};

TEST_F(ScriptedChooserTest, LinesPrintedAreTheChosenStrings) {
  SetTestEnvironment("VEXA_CHILD_PRINT", "/up/dir\nfirst file.txt\n\xE6\x96\x87\n\n");
  std::vector<std::string> strings;
  ASSERT_TRUE(ShowOpenFilesDialog(0, "title", &strings));
  EXPECT_EQ((std::vector<std::string>{"/up/dir", "first file.txt", "\xE6\x96\x87"}), strings);

  std::string folder;
  ASSERT_TRUE(ShowFolderDialog(0, "title", &folder));
  EXPECT_EQ("/up/dir", folder);
}

TEST_F(ScriptedChooserTest, PrintingNothingOrFailingIsACancel) {
  std::vector<std::string> strings = {"stale"};
  std::string folder;
  SetTestEnvironment("VEXA_CHILD_PRINT", "\n");
  EXPECT_FALSE(ShowOpenFilesDialog(0, "title", &strings));
  EXPECT_TRUE(strings.empty());
  EXPECT_FALSE(ShowFolderDialog(0, "title", &folder));
  // So is a chooser that cannot be started.
  SetTestEnvironment("VEXAUPLOAD_CHOOSER", "vexa-no-such-chooser");
  EXPECT_FALSE(ShowOpenFilesDialog(0, "title", &strings));
  EXPECT_FALSE(ShowFolderDialog(0, "title", &folder));
}

}  // namespace
}  // namespace vexa::port
