#include "engine/selection.h"

#include <gtest/gtest.h>

namespace vexa {
namespace {

TEST(JoinPickedFilesTest, DirectoryAndNamesBecomeFullPaths) {
  using Paths = std::vector<std::string>;
  // One string is the chosen file itself.
  EXPECT_EQ(Paths{"/home/u/a.txt"}, JoinPickedFiles({"/home/u/a.txt"}));
  EXPECT_EQ((Paths{"/home/u/a", "/home/u/b", "/home/u/c"}), JoinPickedFiles({"/home/u", "a", "b", "c"}));
  // A directory ending with the separator (a root) gets no second one.
  EXPECT_EQ((Paths{"/a", "/b"}), JoinPickedFiles({"/", "a", "b"}));
  EXPECT_EQ((Paths{"/home/u/a"}), JoinPickedFiles({"/home/u/", "a"}));
  EXPECT_TRUE(JoinPickedFiles({}).empty());
}

}  // namespace
}  // namespace vexa
