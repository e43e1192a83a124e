#include "codec/sha1.h"

#include <openssl/sha.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "codec/sha1_compress.h"
#include "gtest/gtest.h"
#include "port/file.h"
#include "port/last_error.h"

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

TEST(Sha1Test, MessageBeyondTheBitCountCorrupts) {
  // 2^61 bytes are 2^64 bits: refused before a single byte is read.
  Sha1 sha;
  sha.Update("a", 1);
  const char dummy = 0;
  sha.Update(&dummy, SIZE_MAX);
  EXPECT_TRUE(sha.corrupted());
  std::string hex = "untouched";
  EXPECT_FALSE(sha.FinalHex(&hex));
  EXPECT_EQ(hex, "untouched");
}

TEST(Sha1Test, FinalBytesMatchHex) {
  Sha1 sha;
  sha.Update("abc", 3);
  uint8_t out[20];
  ASSERT_TRUE(sha.Final(out));
  EXPECT_EQ(OracleHex(reinterpret_cast<const uint8_t*>("abc"), 3), [&] {
    std::string h;
    for (uint8_t b : out) {
      char buf[3];
      std::snprintf(buf, sizeof(buf), "%02X", b);
      h += buf;
    }
    return h;
  }());
}

// ---- File identities ----

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

class Sha1FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("vexa_sha1_" + std::to_string(std::random_device{}()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    TEST_SetQuickIdReopenHook(nullptr);
    std::filesystem::remove_all(dir_);
  }

  std::string Write(const std::string& name, const std::vector<uint8_t>& data) {
    const std::string path = (dir_ / name).string();
    std::FILE* f = std::fopen(path.c_str(), "wb");
    EXPECT_NE(f, nullptr);
    if (!data.empty()) {
      EXPECT_EQ(std::fwrite(data.data(), 1, data.size(), f), data.size());
    }
    std::fclose(f);
    return path;
  }

  std::filesystem::path dir_;
};

// The sampled input built from the sample offsets written out by hand.
std::string ExpectedQuickId(const std::vector<uint8_t>& data,
                            std::initializer_list<size_t> offsets) {
  std::vector<uint8_t> input;
  for (size_t off : offsets)
    input.insert(input.end(), data.begin() + off, data.begin() + off + 5120);
  const std::string size_text = std::to_string(data.size());
  input.insert(input.end(), size_text.begin(), size_text.end());
  return OracleHex(input.data(), input.size());
}

TEST_F(Sha1FileTest, FileIdOfSeveralSizes) {
  for (size_t size : {0u, 1u, 63u, 64u, 8191u, 8192u, 8193u, 25600u, (1u << 20) + 7u}) {
    const auto data = RandomBytes(size, static_cast<uint32_t>(size));
    const std::string path = Write("f" + std::to_string(size), data);
    uint32_t error = 0;
    std::string hex;
    ASSERT_TRUE(Sha1FileHex(&error, nullptr, path, &hex)) << size;
    EXPECT_EQ(hex, OracleHex(data.data(), data.size())) << size;
  }
}

TEST_F(Sha1FileTest, ProgressOncePerEightKiB) {
  // Spans more than one of the large reads underneath.
  const size_t size = 3 * (1u << 20) / 2 + 5;
  const auto data = RandomBytes(size, 1);
  const std::string path = Write("p", data);
  std::vector<uint64_t> seen;
  uint32_t error = 0;
  std::string hex;
  ASSERT_TRUE(Sha1FileHex(
      &error,
      [&](const std::string& p, uint64_t hashed) {
        EXPECT_EQ(p, path);
        seen.push_back(hashed);
        return true;
      },
      path, &hex));
  EXPECT_EQ(hex, OracleHex(data.data(), data.size()));
  ASSERT_EQ(seen.size(), (size + 8191) / 8192);
  for (size_t i = 0; i + 1 < seen.size(); ++i) ASSERT_EQ(seen[i], (i + 1) * 8192) << i;
  EXPECT_EQ(seen.back(), size);
}

TEST_F(Sha1FileTest, ProgressStopAfterOneBlock) {
  const std::string path = Write("s", RandomBytes(100000, 2));
  int calls = 0;
  uint64_t last = 0;
  uint32_t error = 0;
  std::string hex = "untouched";
  EXPECT_FALSE(Sha1FileHex(
      &error,
      [&](const std::string&, uint64_t hashed) {
        ++calls;
        last = hashed;
        return false;
      },
      path, &hex));
  EXPECT_EQ(error, kErrHashStopped);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(last, 8192u);
  EXPECT_EQ(hex, "untouched");
}

TEST_F(Sha1FileTest, OpenErrorsCarryPlatformCodes) {
  uint32_t error = 0;
  std::string hex;
  const std::string missing = (dir_ / "missing").string();
  EXPECT_FALSE(Sha1FileHex(&error, nullptr, missing, &hex));
  EXPECT_EQ(error, port::kErrorFileNotFound);
  error = 0;
  EXPECT_FALSE(QuickIdHex(missing, &hex, &error));
  EXPECT_EQ(error, port::kErrorFileNotFound);

  error = 0;
  EXPECT_FALSE(Sha1FileHex(&error, nullptr, (dir_ / "missing" / "x").string(), &hex));
  EXPECT_EQ(error, port::kErrorFileNotFound);

  // A folder is not a file.
  error = 0;
  EXPECT_FALSE(Sha1FileHex(&error, nullptr, dir_.string(), &hex));
  EXPECT_EQ(error, port::kErrorAccessDenied);
  error = 0;
  EXPECT_FALSE(QuickIdHex(dir_.string(), &hex, &error));
  EXPECT_EQ(error, port::kErrorAccessDenied);
}

TEST_F(Sha1FileTest, ReadErrorIsReported) {
  // Reading this process's memory from address 0 fails with an I/O error.
  const std::string path = "/proc/self/mem";
  if (!port::PathExists(path)) GTEST_SKIP() << "no /proc";
  uint32_t error = 0;
  std::string hex = "untouched";
  EXPECT_FALSE(Sha1FileHex(&error, nullptr, path, &hex));
  EXPECT_EQ(error, kErrHashRead);
  EXPECT_EQ(hex, "untouched");
}

TEST_F(Sha1FileTest, FileTruncatedWhileHashedIsAReadError) {
  // Big enough to be mapped; cut well behind the first progress block.
  const std::string path = Write("t", RandomBytes(3 << 20, 8));
  uint32_t error = 0;
  std::string hex = "untouched";
  int calls = 0;
  EXPECT_FALSE(Sha1FileHex(
      &error,
      [&](const std::string& p, uint64_t) {
        if (++calls == 1) std::filesystem::resize_file(p, 1 << 20);
        return true;
      },
      path, &hex));
  EXPECT_EQ(error, kErrHashRead);
  EXPECT_EQ(hex, "untouched");
  // Progress stopped where the pages ran out.
  EXPECT_EQ(calls, (1 << 20) / 8192);
}

TEST_F(Sha1FileTest, QuickIdSmallFilesEqualFileId) {
  for (size_t size : {0u, 1u, 5120u, 25600u}) {
    const auto data = RandomBytes(size, 3);
    const std::string path = Write("q" + std::to_string(size), data);
    uint32_t error = 0;
    std::string quick, whole;
    ASSERT_TRUE(QuickIdHex(path, &quick, &error)) << size;
    ASSERT_TRUE(Sha1FileHex(&error, nullptr, path, &whole));
    EXPECT_EQ(quick, whole) << size;
    EXPECT_EQ(quick, OracleHex(data.data(), data.size()));
  }
}

TEST_F(Sha1FileTest, QuickIdSampledFiles) {
  // 25601 bytes: the first sampled size, samples overlap.
  auto data = RandomBytes(25601, 4);
  uint32_t error = 0;
  std::string hex;
  ASSERT_TRUE(QuickIdHex(Write("a", data), &hex, &error));
  EXPECT_EQ(hex, ExpectedQuickId(data, {0, 3328, 9472, 15872, 20481}));
  EXPECT_NE(hex, OracleHex(data.data(), data.size()));

  data = RandomBytes(1234567, 5);
  ASSERT_TRUE(QuickIdHex(Write("b", data), &hex, &error));
  EXPECT_EQ(hex, ExpectedQuickId(data, {0, 160493, 456789, 765431, 1229447}));

  // A byte outside every sample does not change the identity; one inside does.
  const std::string before = hex;
  data[200000] ^= 0xFF;
  ASSERT_TRUE(QuickIdHex(Write("b", data), &hex, &error));
  EXPECT_EQ(hex, before);
  data[1234566] ^= 0xFF;
  ASSERT_TRUE(QuickIdHex(Write("b", data), &hex, &error));
  EXPECT_NE(hex, before);
}

TEST_F(Sha1FileTest, QuickIdFileChangedAfterSizeQuery) {
  const auto data = RandomBytes(40000, 6);
  const std::string path = Write("c", data);
  uint32_t error = 0;
  std::string hex = "untouched";

  // Truncated below the last sample: a short read.
  TEST_SetQuickIdReopenHook([&](const std::string& p) { std::filesystem::resize_file(p, 30000); });
  EXPECT_FALSE(QuickIdHex(path, &hex, &error));
  EXPECT_EQ(error, kErrQuickShortRead);

  // Deleted: the platform's file-not-found value.
  Write("c", data);
  TEST_SetQuickIdReopenHook([&](const std::string& p) { std::filesystem::remove(p); });
  EXPECT_FALSE(QuickIdHex(path, &hex, &error));
  EXPECT_EQ(error, port::kErrorFileNotFound);

  // A small file deleted in that window fails as a whole-file digest.
  const std::string small = Write("d", RandomBytes(100, 7));
  EXPECT_FALSE(QuickIdHex(small, &hex, &error));
  EXPECT_EQ(error, kErrQuickSmallFile);
  EXPECT_EQ(hex, "untouched");
}

TEST_F(Sha1FileTest, FilesAboveFourGiB) {
  // Sparse: only the sample regions hold data.
  const uint64_t size = 5ull * 1024 * 1024 * 1024 + 1;
  const std::string path = (dir_ / "big").string();
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  const uint64_t offsets[] = {0, 697932185, 1986422374, 3328599655, 5368704001};
  std::vector<uint8_t> input;
  for (int i = 0; i < 5; ++i) {
    const auto sample = RandomBytes(5120, 10 + i);
    ASSERT_TRUE(port::Seek64(f, offsets[i]));
    ASSERT_EQ(std::fwrite(sample.data(), 1, sample.size(), f), sample.size());
    input.insert(input.end(), sample.begin(), sample.end());
  }
  std::fclose(f);
  const std::string size_text = "5368709121";
  input.insert(input.end(), size_text.begin(), size_text.end());

  uint64_t got = 0;
  ASSERT_TRUE(port::FileSize64(path, &got));
  EXPECT_EQ(got, size);
  uint32_t error = 0;
  std::string hex;
  ASSERT_TRUE(QuickIdHex(path, &hex, &error)) << error;
  EXPECT_EQ(hex, OracleHex(input.data(), input.size()));
}

}  // namespace
}  // namespace vexa
