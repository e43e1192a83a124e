#include "codec/sha1_compress.h"

#include <atomic>
#include <bit>

namespace vexa {
namespace {

inline uint32_t LoadBe32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

Sha1CompressFn InitialCompress() {
  return Sha1CpuHasShaNi() ? &Sha1CompressShaNi : &Sha1CompressPortable;
}

std::atomic<Sha1CompressFn>& ActiveCompress() {
  static std::atomic<Sha1CompressFn> fn{InitialCompress()};
  return fn;
}

}  // namespace

// Fully unrolled: the five working variables rotate by renaming instead of by
// moves, and the message schedule lives in a 16-word ring.
#define VEXA_SHA1_W(i) \
  (w[(i)&15] = std::rotl(w[((i) + 13) & 15] ^ w[((i) + 8) & 15] ^ w[((i) + 2) & 15] ^ w[(i)&15], 1))
#define VEXA_SHA1_F1(b, c, d) (((c ^ d) & b) ^ d)
#define VEXA_SHA1_F2(b, c, d) (b ^ c ^ d)
#define VEXA_SHA1_F3(b, c, d) (((b | c) & d) | (b & c))
#define VEXA_SHA1_R0(a, b, c, d, e, i)                               \
  e += VEXA_SHA1_F1(b, c, d) + w[i] + 0x5A827999u + std::rotl(a, 5); \
  b = std::rotl(b, 30)
#define VEXA_SHA1_R1(a, b, c, d, e, i)                                         \
  e += VEXA_SHA1_F1(b, c, d) + VEXA_SHA1_W(i) + 0x5A827999u + std::rotl(a, 5); \
  b = std::rotl(b, 30)
#define VEXA_SHA1_R2(a, b, c, d, e, i)                                         \
  e += VEXA_SHA1_F2(b, c, d) + VEXA_SHA1_W(i) + 0x6ED9EBA1u + std::rotl(a, 5); \
  b = std::rotl(b, 30)
#define VEXA_SHA1_R3(a, b, c, d, e, i)                                         \
  e += VEXA_SHA1_F3(b, c, d) + VEXA_SHA1_W(i) + 0x8F1BBCDCu + std::rotl(a, 5); \
  b = std::rotl(b, 30)
#define VEXA_SHA1_R4(a, b, c, d, e, i)                                         \
  e += VEXA_SHA1_F2(b, c, d) + VEXA_SHA1_W(i) + 0xCA62C1D6u + std::rotl(a, 5); \
  b = std::rotl(b, 30)
#define VEXA_SHA1_FIVE(R, i) \
  R(a, b, c, d, e, i);       \
  R(e, a, b, c, d, (i) + 1); \
  R(d, e, a, b, c, (i) + 2); \
  R(c, d, e, a, b, (i) + 3); \
  R(b, c, d, e, a, (i) + 4)

void Sha1CompressPortable(uint32_t state[5], const uint8_t* blocks, size_t count) {
  for (; count > 0; --count, blocks += 64) {
    uint32_t w[16];
    for (int i = 0; i < 16; ++i) w[i] = LoadBe32(blocks + 4 * i);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    VEXA_SHA1_FIVE(VEXA_SHA1_R0, 0);
    VEXA_SHA1_FIVE(VEXA_SHA1_R0, 5);
    VEXA_SHA1_FIVE(VEXA_SHA1_R0, 10);
    VEXA_SHA1_R0(a, b, c, d, e, 15);
    VEXA_SHA1_R1(e, a, b, c, d, 16);
    VEXA_SHA1_R1(d, e, a, b, c, 17);
    VEXA_SHA1_R1(c, d, e, a, b, 18);
    VEXA_SHA1_R1(b, c, d, e, a, 19);
    VEXA_SHA1_FIVE(VEXA_SHA1_R2, 20);
    VEXA_SHA1_FIVE(VEXA_SHA1_R2, 25);
    VEXA_SHA1_FIVE(VEXA_SHA1_R2, 30);
    VEXA_SHA1_FIVE(VEXA_SHA1_R2, 35);
    VEXA_SHA1_FIVE(VEXA_SHA1_R3, 40);
    VEXA_SHA1_FIVE(VEXA_SHA1_R3, 45);
    VEXA_SHA1_FIVE(VEXA_SHA1_R3, 50);
    VEXA_SHA1_FIVE(VEXA_SHA1_R3, 55);
    VEXA_SHA1_FIVE(VEXA_SHA1_R4, 60);
    VEXA_SHA1_FIVE(VEXA_SHA1_R4, 65);
    VEXA_SHA1_FIVE(VEXA_SHA1_R4, 70);
    VEXA_SHA1_FIVE(VEXA_SHA1_R4, 75);
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
  }
}

#undef VEXA_SHA1_W
#undef VEXA_SHA1_F1
#undef VEXA_SHA1_F2
#undef VEXA_SHA1_F3
#undef VEXA_SHA1_R0
#undef VEXA_SHA1_R1
#undef VEXA_SHA1_R2
#undef VEXA_SHA1_R3
#undef VEXA_SHA1_R4
#undef VEXA_SHA1_FIVE

Sha1Engine ActiveSha1Engine() {
  return ActiveCompress().load(std::memory_order_relaxed) == &Sha1CompressShaNi
             ? Sha1Engine::kShaNi
             : Sha1Engine::kPortable;
}

bool SetSha1Engine(Sha1Engine engine) {
  if (engine == Sha1Engine::kShaNi && !Sha1CpuHasShaNi()) return false;
  ActiveCompress().store(engine == Sha1Engine::kShaNi ? &Sha1CompressShaNi : &Sha1CompressPortable,
                         std::memory_order_relaxed);
  return true;
}

// Used by Sha1 for every block.
Sha1CompressFn CurrentSha1Compress() { return ActiveCompress().load(std::memory_order_relaxed); }

}  // namespace vexa
