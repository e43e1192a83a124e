#include "apps/cli/sizes.h"

#include <gtest/gtest.h>

namespace vexa::cli {
namespace {

TEST(SizesTest, TheQuotaIsASentence) {
  EXPECT_EQ("631 B used of 64.0 GiB (0.0%), 64.0 GiB free.", SpaceSentence(631, 64ull << 30));
  EXPECT_EQ("1.0 GiB used of 4.0 GiB (25.0%), 3.0 GiB free.",
            SpaceSentence(1ull << 30, 4ull << 30));
  EXPECT_EQ("5.0 GiB used of 4.0 GiB (125.0%), 0 B free.", SpaceSentence(5ull << 30, 4ull << 30));
  EXPECT_EQ("1.0 KiB used; the service gave no quota.", SpaceSentence(1024, 0));
}

}  // namespace
}  // namespace vexa::cli
