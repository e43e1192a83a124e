#include "codec/size_text.h"

#include <gtest/gtest.h>

namespace vexa {
namespace {

TEST(SizeTextTest, BinaryUnitsWithOneDecimal) {
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

}  // namespace
}  // namespace vexa
