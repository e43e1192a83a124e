#include "engine/selection.h"

#include <gtest/gtest.h>

#include "port/file.h"

namespace vexa {
namespace {

TEST(JoinPickedFilesTest, DirectoryAndNamesBecomeFullPaths) {
  using Paths = std::vector<std::string>;
  const std::string sep(1, port::kPathSeparator);
  const std::string home = sep + "home" + sep + "u";
  // One string is the chosen file itself.
  EXPECT_EQ(Paths{home + sep + "a.txt"}, JoinPickedFiles({home + sep + "a.txt"}));
  EXPECT_EQ((Paths{home + sep + "a", home + sep + "b", home + sep + "c"}),
            JoinPickedFiles({home, "a", "b", "c"}));
  // A directory ending with the separator (a root) gets no second one.
  EXPECT_EQ((Paths{sep + "a", sep + "b"}), JoinPickedFiles({sep, "a", "b"}));
  EXPECT_EQ((Paths{home + sep + "a"}), JoinPickedFiles({home + sep, "a"}));
  EXPECT_TRUE(JoinPickedFiles({}).empty());
  // Full paths, as a chooser script may print them: each is kept, none is
  // taken for the folder of the others.
  EXPECT_EQ((Paths{home + sep + "a", sep + "tmp" + sep + "b"}),
            JoinPickedFiles({home + sep + "a", sep + "tmp" + sep + "b"}));
}

}  // namespace
}  // namespace vexa
