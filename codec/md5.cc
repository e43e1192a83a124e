#include "codec/md5.h"

#include <bit>
#include <cstdint>
#include <cstring>

namespace vexa {
namespace {

inline uint32_t LoadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

#define VEXA_MD5_STEP(f, a, b, c, d, k, s, t) \
  a += f(b, c, d) + x[k] + t;                 \
  a = std::rotl(a, s) + b
#define VEXA_MD5_F(b, c, d) ((((c) ^ (d)) & (b)) ^ (d))
#define VEXA_MD5_G(b, c, d) ((((b) ^ (c)) & (d)) ^ (c))
#define VEXA_MD5_H(b, c, d) ((b) ^ (c) ^ (d))
#define VEXA_MD5_I(b, c, d) ((c) ^ ((b) | ~(d)))

void Md5Compress(uint32_t state[4], const uint8_t* blocks, size_t count) {
  for (; count > 0; --count, blocks += 64) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = LoadLe32(blocks + 4 * i);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];

    VEXA_MD5_STEP(VEXA_MD5_F, a, b, c, d, 0, 7, 0xd76aa478u);
    VEXA_MD5_STEP(VEXA_MD5_F, d, a, b, c, 1, 12, 0xe8c7b756u);
    VEXA_MD5_STEP(VEXA_MD5_F, c, d, a, b, 2, 17, 0x242070dbu);
    VEXA_MD5_STEP(VEXA_MD5_F, b, c, d, a, 3, 22, 0xc1bdceeeu);
    VEXA_MD5_STEP(VEXA_MD5_F, a, b, c, d, 4, 7, 0xf57c0fafu);
    VEXA_MD5_STEP(VEXA_MD5_F, d, a, b, c, 5, 12, 0x4787c62au);
    VEXA_MD5_STEP(VEXA_MD5_F, c, d, a, b, 6, 17, 0xa8304613u);
    VEXA_MD5_STEP(VEXA_MD5_F, b, c, d, a, 7, 22, 0xfd469501u);
    VEXA_MD5_STEP(VEXA_MD5_F, a, b, c, d, 8, 7, 0x698098d8u);
    VEXA_MD5_STEP(VEXA_MD5_F, d, a, b, c, 9, 12, 0x8b44f7afu);
    VEXA_MD5_STEP(VEXA_MD5_F, c, d, a, b, 10, 17, 0xffff5bb1u);
    VEXA_MD5_STEP(VEXA_MD5_F, b, c, d, a, 11, 22, 0x895cd7beu);
    VEXA_MD5_STEP(VEXA_MD5_F, a, b, c, d, 12, 7, 0x6b901122u);
    VEXA_MD5_STEP(VEXA_MD5_F, d, a, b, c, 13, 12, 0xfd987193u);
    VEXA_MD5_STEP(VEXA_MD5_F, c, d, a, b, 14, 17, 0xa679438eu);
    VEXA_MD5_STEP(VEXA_MD5_F, b, c, d, a, 15, 22, 0x49b40821u);

    VEXA_MD5_STEP(VEXA_MD5_G, a, b, c, d, 1, 5, 0xf61e2562u);
    VEXA_MD5_STEP(VEXA_MD5_G, d, a, b, c, 6, 9, 0xc040b340u);
    VEXA_MD5_STEP(VEXA_MD5_G, c, d, a, b, 11, 14, 0x265e5a51u);
    VEXA_MD5_STEP(VEXA_MD5_G, b, c, d, a, 0, 20, 0xe9b6c7aau);
    VEXA_MD5_STEP(VEXA_MD5_G, a, b, c, d, 5, 5, 0xd62f105du);
    VEXA_MD5_STEP(VEXA_MD5_G, d, a, b, c, 10, 9, 0x02441453u);
    VEXA_MD5_STEP(VEXA_MD5_G, c, d, a, b, 15, 14, 0xd8a1e681u);
    VEXA_MD5_STEP(VEXA_MD5_G, b, c, d, a, 4, 20, 0xe7d3fbc8u);
    VEXA_MD5_STEP(VEXA_MD5_G, a, b, c, d, 9, 5, 0x21e1cde6u);
    VEXA_MD5_STEP(VEXA_MD5_G, d, a, b, c, 14, 9, 0xc33707d6u);
    VEXA_MD5_STEP(VEXA_MD5_G, c, d, a, b, 3, 14, 0xf4d50d87u);
    VEXA_MD5_STEP(VEXA_MD5_G, b, c, d, a, 8, 20, 0x455a14edu);
    VEXA_MD5_STEP(VEXA_MD5_G, a, b, c, d, 13, 5, 0xa9e3e905u);
    VEXA_MD5_STEP(VEXA_MD5_G, d, a, b, c, 2, 9, 0xfcefa3f8u);
    VEXA_MD5_STEP(VEXA_MD5_G, c, d, a, b, 7, 14, 0x676f02d9u);
    VEXA_MD5_STEP(VEXA_MD5_G, b, c, d, a, 12, 20, 0x8d2a4c8au);

    VEXA_MD5_STEP(VEXA_MD5_H, a, b, c, d, 5, 4, 0xfffa3942u);
    VEXA_MD5_STEP(VEXA_MD5_H, d, a, b, c, 8, 11, 0x8771f681u);
    VEXA_MD5_STEP(VEXA_MD5_H, c, d, a, b, 11, 16, 0x6d9d6122u);
    VEXA_MD5_STEP(VEXA_MD5_H, b, c, d, a, 14, 23, 0xfde5380cu);
    VEXA_MD5_STEP(VEXA_MD5_H, a, b, c, d, 1, 4, 0xa4beea44u);
    VEXA_MD5_STEP(VEXA_MD5_H, d, a, b, c, 4, 11, 0x4bdecfa9u);
    VEXA_MD5_STEP(VEXA_MD5_H, c, d, a, b, 7, 16, 0xf6bb4b60u);
    VEXA_MD5_STEP(VEXA_MD5_H, b, c, d, a, 10, 23, 0xbebfbc70u);
    VEXA_MD5_STEP(VEXA_MD5_H, a, b, c, d, 13, 4, 0x289b7ec6u);
    VEXA_MD5_STEP(VEXA_MD5_H, d, a, b, c, 0, 11, 0xeaa127fau);
    VEXA_MD5_STEP(VEXA_MD5_H, c, d, a, b, 3, 16, 0xd4ef3085u);
    VEXA_MD5_STEP(VEXA_MD5_H, b, c, d, a, 6, 23, 0x04881d05u);
    VEXA_MD5_STEP(VEXA_MD5_H, a, b, c, d, 9, 4, 0xd9d4d039u);
    VEXA_MD5_STEP(VEXA_MD5_H, d, a, b, c, 12, 11, 0xe6db99e5u);
    VEXA_MD5_STEP(VEXA_MD5_H, c, d, a, b, 15, 16, 0x1fa27cf8u);
    VEXA_MD5_STEP(VEXA_MD5_H, b, c, d, a, 2, 23, 0xc4ac5665u);

    VEXA_MD5_STEP(VEXA_MD5_I, a, b, c, d, 0, 6, 0xf4292244u);
    VEXA_MD5_STEP(VEXA_MD5_I, d, a, b, c, 7, 10, 0x432aff97u);
    VEXA_MD5_STEP(VEXA_MD5_I, c, d, a, b, 14, 15, 0xab9423a7u);
    VEXA_MD5_STEP(VEXA_MD5_I, b, c, d, a, 5, 21, 0xfc93a039u);
    VEXA_MD5_STEP(VEXA_MD5_I, a, b, c, d, 12, 6, 0x655b59c3u);
    VEXA_MD5_STEP(VEXA_MD5_I, d, a, b, c, 3, 10, 0x8f0ccc92u);
    VEXA_MD5_STEP(VEXA_MD5_I, c, d, a, b, 10, 15, 0xffeff47du);
    VEXA_MD5_STEP(VEXA_MD5_I, b, c, d, a, 1, 21, 0x85845dd1u);
    VEXA_MD5_STEP(VEXA_MD5_I, a, b, c, d, 8, 6, 0x6fa87e4fu);
    VEXA_MD5_STEP(VEXA_MD5_I, d, a, b, c, 15, 10, 0xfe2ce6e0u);
    VEXA_MD5_STEP(VEXA_MD5_I, c, d, a, b, 6, 15, 0xa3014314u);
    VEXA_MD5_STEP(VEXA_MD5_I, b, c, d, a, 13, 21, 0x4e0811a1u);
    VEXA_MD5_STEP(VEXA_MD5_I, a, b, c, d, 4, 6, 0xf7537e82u);
    VEXA_MD5_STEP(VEXA_MD5_I, d, a, b, c, 11, 10, 0xbd3af235u);
    VEXA_MD5_STEP(VEXA_MD5_I, c, d, a, b, 2, 15, 0x2ad7d2bbu);
    VEXA_MD5_STEP(VEXA_MD5_I, b, c, d, a, 9, 21, 0xeb86d391u);

    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
  }
}

#undef VEXA_MD5_STEP
#undef VEXA_MD5_F
#undef VEXA_MD5_G
#undef VEXA_MD5_H
#undef VEXA_MD5_I

}  // namespace

std::string Md5Hex(std::string_view text) {
  uint32_t state[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  const size_t whole = text.size() / 64;
  Md5Compress(state, p, whole);

  // The remaining bytes, the 0x80 marker, zeros and the little-endian bit
  // count fill one or two final blocks.
  uint8_t tail[128] = {};
  const size_t rest = text.size() - whole * 64;
  if (rest > 0) std::memcpy(tail, p + whole * 64, rest);
  tail[rest] = 0x80;
  const size_t tail_len = rest < 56 ? 64 : 128;
  const uint64_t bits = static_cast<uint64_t>(text.size()) * 8;
  for (int i = 0; i < 8; ++i) tail[tail_len - 8 + i] = static_cast<uint8_t>(bits >> (8 * i));
  Md5Compress(state, tail, tail_len / 64);

  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex(32, '0');
  for (int i = 0; i < 16; ++i) {
    const uint8_t byte = static_cast<uint8_t>(state[i / 4] >> (8 * (i % 4)));
    hex[2 * i] = kDigits[byte >> 4];
    hex[2 * i + 1] = kDigits[byte & 0xF];
  }
  return hex;
}

}  // namespace vexa
