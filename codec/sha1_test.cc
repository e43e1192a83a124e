#include "codec/sha1.h"

#include <openssl/sha.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "codec/sha1_compress.h"
#include "gtest/gtest.h"

namespace vexa {
namespace {

std::string OracleHex(const uint8_t* data, size_t length) {
  uint8_t md[SHA_DIGEST_LENGTH];
  SHA1(data, length, md);
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  for (uint8_t b : md) {
    hex.push_back(kDigits[b >> 4]);
    hex.push_back(kDigits[b & 0xF]);
  }
  return hex;
}

std::string HexOf(std::string_view text) {
  std::string hex;
  EXPECT_TRUE(Sha1Hex(text.data(), text.size(), &hex));
  return hex;
}

// Runs each test once per compression engine this CPU has.
class Sha1EngineTest : public ::testing::TestWithParam<Sha1Engine> {
 protected:
  void SetUp() override {
    saved_ = ActiveSha1Engine();
    if (!SetSha1Engine(GetParam())) GTEST_SKIP() << "CPU lacks the SHA extensions";
  }
  void TearDown() override { SetSha1Engine(saved_); }

 private:
  Sha1Engine saved_ = Sha1Engine::kPortable;
};

TEST_P(Sha1EngineTest, PublishedVectors) {
  EXPECT_EQ(HexOf("abc"), "A9993E364706816ABA3E25717850C26C9CD0D89D");
  EXPECT_EQ(HexOf("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "84983E441C3BD26EBAAE4AA1F95129E5E54670F1");
  std::string repeated;
  for (int i = 0; i < 10; ++i) {
    repeated += "0123456701234567012345670123456701234567012345670123456701234567";
  }
  EXPECT_EQ(HexOf(repeated), "DEA356A2CDDD90C7A7ECEDC5EBB563934F460452");

  // One million "a", fed in uneven pieces.
  const std::string chunk(997, 'a');
  Sha1 sha;
  size_t fed = 0;
  while (fed < 1000000) {
    const size_t n = std::min(chunk.size(), 1000000 - fed);
    sha.Update(chunk.data(), n);
    fed += n;
  }
  std::string hex;
  ASSERT_TRUE(sha.FinalHex(&hex));
  EXPECT_EQ(hex, "34AA973CD4C4DAA4F61EEB2BDBAD27316534016F");
}

TEST_P(Sha1EngineTest, RandomInputsAndSplitsMatchOracle) {
  std::mt19937_64 rng(20261208);
  std::vector<uint8_t> data(5000);
  for (int round = 0; round < 3000; ++round) {
    // Mostly short lengths around the padding boundaries, some long ones.
    const size_t length = round % 4 == 0 ? rng() % data.size() : rng() % 200;
    for (size_t i = 0; i < length; ++i) data[i] = static_cast<uint8_t>(rng());
    const std::string expected = OracleHex(data.data(), length);

    Sha1 sha;
    size_t at = 0;
    while (at < length) {
      const size_t n = std::min<size_t>(length - at, rng() % 130);
      sha.Update(data.data() + at, n);
      at += n;
    }
    std::string hex;
    ASSERT_TRUE(sha.FinalHex(&hex));
    ASSERT_EQ(hex, expected) << "length " << length << " round " << round;
  }
}

INSTANTIATE_TEST_SUITE_P(Engines, Sha1EngineTest,
                         ::testing::Values(Sha1Engine::kPortable, Sha1Engine::kShaNi),
                         [](const auto& info) {
                           return info.param == Sha1Engine::kPortable ? "Portable" : "ShaNi";
                         });

TEST(Sha1Test, EnginesAgreeOnLongInputs) {
  if (!Sha1CpuHasShaNi()) GTEST_SKIP() << "CPU lacks the SHA extensions";
  std::mt19937 rng(7);
  std::vector<uint8_t> data(64 * 1000);
  for (auto& b : data) b = static_cast<uint8_t>(rng());
  for (size_t blocks : {1u, 2u, 3u, 17u, 1000u}) {
    uint32_t a[5] = {1, 2, 3, 4, 5};
    uint32_t b[5] = {1, 2, 3, 4, 5};
    Sha1CompressPortable(a, data.data(), blocks);
    Sha1CompressShaNi(b, data.data(), blocks);
    EXPECT_EQ(0, std::memcmp(a, b, sizeof(a))) << blocks << " blocks";
  }
}

TEST(Sha1Test, EmptyInputs) {
  std::string hex = "untouched";
  EXPECT_FALSE(Sha1Hex("", 0, &hex));
  EXPECT_FALSE(Sha1Hex(nullptr, 5, &hex));
  EXPECT_EQ(hex, "untouched");

  // The digest object itself has a value for the empty message.
  Sha1 sha;
  ASSERT_TRUE(sha.FinalHex(&hex));
  EXPECT_EQ(hex, "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709");
}

TEST(Sha1Test, FeedingAfterFinalCorrupts) {
  Sha1 sha;
  sha.Update("abc", 3);
  std::string hex;
  ASSERT_TRUE(sha.FinalHex(&hex));
  // A second Final without feeding repeats the result.
  std::string again;
  ASSERT_TRUE(sha.FinalHex(&again));
  EXPECT_EQ(again, hex);

  sha.Update("d", 1);
  EXPECT_TRUE(sha.corrupted());
  uint8_t out[20];
  EXPECT_FALSE(sha.Final(out));
  EXPECT_FALSE(sha.FinalHex(&again));

  sha.Reset();
  EXPECT_FALSE(sha.corrupted());
  sha.Update("abc", 3);
  ASSERT_TRUE(sha.FinalHex(&again));
  EXPECT_EQ(again, hex);
}

TEST(Sha1Test, NullDataWithLengthCorrupts) {
  Sha1 sha;
  sha.Update(nullptr, 0);  // nothing to feed: harmless
  EXPECT_FALSE(sha.corrupted());
  sha.Update(nullptr, 4);
  EXPECT_TRUE(sha.corrupted());
}

TEST(Sha1Test, FinalBytesMatchHex) {
  Sha1 sha;
  sha.Update("abc", 3);
  uint8_t out[20];
  ASSERT_TRUE(sha.Final(out));
  EXPECT_EQ(OracleHex(reinterpret_cast<const uint8_t*>("abc"), 3),
            [&] {
              std::string h;
              for (uint8_t b : out) {
                char buf[3];
                std::snprintf(buf, sizeof(buf), "%02X", b);
                h += buf;
              }
              return h;
            }());
}

}  // namespace
}  // namespace vexa
