#include "apps/cli/sizes.h"

#include <gtest/gtest.h>

namespace vexa::cli {
namespace {

TEST(SizesTest, BinaryUnitsWithOneDecimal) {
  const struct {
    uint64_t bytes;
    const char* text;
  } cases[] = {
      {0, "0 B"},
      {1023, "1023 B"},
      {1024, "1.0 KiB"},
      {1536, "1.5 KiB"},
      {1048575, "1.0 MiB"},  // not "1024.0 KiB"
      {73ull << 20, "73.0 MiB"},
      {3ull << 30, "3.0 GiB"},
      {10ull << 30, "10.0 GiB"},  // a 10 GiB quota is not "10.0 GB"
      {5ull << 40, "5.0 TiB"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.text, FormatSize(c.bytes)) << c.bytes;
}

TEST(SizesTest, TheQuotaIsASentence) {
  EXPECT_EQ("631 B used of 64.0 GiB (0.0%), 64.0 GiB free.", SpaceSentence(631, 64ull << 30));
  EXPECT_EQ("1.0 GiB used of 4.0 GiB (25.0%), 3.0 GiB free.", SpaceSentence(1ull << 30, 4ull << 30));
  EXPECT_EQ("5.0 GiB used of 4.0 GiB (125.0%), 0 B free.", SpaceSentence(5ull << 30, 4ull << 30));
  EXPECT_EQ("1.0 KiB used; the service gave no quota.", SpaceSentence(1024, 0));
}

}  // namespace
}  // namespace vexa::cli
