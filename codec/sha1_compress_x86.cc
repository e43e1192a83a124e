// SHA-1 with the x86 SHA extensions. Only this function is compiled for them
// (through a target attribute), so the rest of the program still runs on any
// x86-64; the caller checks the CPU first.
#include "codec/sha1_compress.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define VEXA_SHA1_X86 1
#endif

namespace vexa {

#if VEXA_SHA1_X86

bool Sha1CpuHasShaNi() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
  const bool ssse3 = (ecx & (1u << 9)) != 0;
  const bool sse41 = (ecx & (1u << 19)) != 0;
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return false;
  const bool sha = (ebx & (1u << 29)) != 0;
  return ssse3 && sse41 && sha;
}

// One group of four rounds. `ex` takes the message words of `m0` and feeds
// the rounds, `ey` keeps the state for the next group's E; `m1`..`m3` are the
// schedule registers that this group advances (msg2, xor, msg1).
#define VEXA_SHANI_ROUNDS(ex, ey, m0, f) \
  ex = _mm_sha1nexte_epu32(ex, m0);      \
  ey = abcd;                             \
  abcd = _mm_sha1rnds4_epu32(abcd, ex, f)
#define VEXA_SHANI_MSG2(m1, m0) m1 = _mm_sha1msg2_epu32(m1, m0)
#define VEXA_SHANI_MSG1(m3, m0) m3 = _mm_sha1msg1_epu32(m3, m0)
#define VEXA_SHANI_XOR(m2, m0) m2 = _mm_xor_si128(m2, m0)
// A middle group: every schedule step.
#define VEXA_SHANI_FULL(ex, ey, m0, m1, m2, m3, f) \
  ex = _mm_sha1nexte_epu32(ex, m0);                \
  ey = abcd;                                       \
  VEXA_SHANI_MSG2(m1, m0);                         \
  abcd = _mm_sha1rnds4_epu32(abcd, ex, f);         \
  VEXA_SHANI_MSG1(m3, m0);                         \
  VEXA_SHANI_XOR(m2, m0)

__attribute__((target("sha,sse4.1"))) void Sha1CompressShaNi(uint32_t state[5],
                                                             const uint8_t* blocks, size_t count) {
  const __m128i kByteSwap = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
  __m128i abcd = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
  abcd = _mm_shuffle_epi32(abcd, 0x1B);
  __m128i e0 = _mm_set_epi32(static_cast<int>(state[4]), 0, 0, 0);
  __m128i e1;
  for (; count > 0; --count, blocks += 64) {
    const __m128i abcd_save = abcd;
    const __m128i e0_save = e0;
    const __m128i* p = reinterpret_cast<const __m128i*>(blocks);
    __m128i m0 = _mm_shuffle_epi8(_mm_loadu_si128(p + 0), kByteSwap);
    __m128i m1 = _mm_shuffle_epi8(_mm_loadu_si128(p + 1), kByteSwap);
    __m128i m2 = _mm_shuffle_epi8(_mm_loadu_si128(p + 2), kByteSwap);
    __m128i m3 = _mm_shuffle_epi8(_mm_loadu_si128(p + 3), kByteSwap);

    // Rounds 0-3: the first E comes from the chaining value directly.
    e0 = _mm_add_epi32(e0, m0);
    e1 = abcd;
    abcd = _mm_sha1rnds4_epu32(abcd, e0, 0);
    // Rounds 4-7.
    VEXA_SHANI_ROUNDS(e1, e0, m1, 0);
    VEXA_SHANI_MSG1(m0, m1);
    // Rounds 8-11.
    VEXA_SHANI_ROUNDS(e0, e1, m2, 0);
    VEXA_SHANI_MSG1(m1, m2);
    VEXA_SHANI_XOR(m0, m2);
    // Rounds 12-63.
    VEXA_SHANI_FULL(e1, e0, m3, m0, m1, m2, 0);
    VEXA_SHANI_FULL(e0, e1, m0, m1, m2, m3, 0);
    VEXA_SHANI_FULL(e1, e0, m1, m2, m3, m0, 1);
    VEXA_SHANI_FULL(e0, e1, m2, m3, m0, m1, 1);
    VEXA_SHANI_FULL(e1, e0, m3, m0, m1, m2, 1);
    VEXA_SHANI_FULL(e0, e1, m0, m1, m2, m3, 1);
    VEXA_SHANI_FULL(e1, e0, m1, m2, m3, m0, 1);
    VEXA_SHANI_FULL(e0, e1, m2, m3, m0, m1, 2);
    VEXA_SHANI_FULL(e1, e0, m3, m0, m1, m2, 2);
    VEXA_SHANI_FULL(e0, e1, m0, m1, m2, m3, 2);
    VEXA_SHANI_FULL(e1, e0, m1, m2, m3, m0, 2);
    VEXA_SHANI_FULL(e0, e1, m2, m3, m0, m1, 2);
    VEXA_SHANI_FULL(e1, e0, m3, m0, m1, m2, 3);
    // Rounds 64-79: the schedule winds down.
    VEXA_SHANI_FULL(e0, e1, m0, m1, m2, m3, 3);
    VEXA_SHANI_ROUNDS(e1, e0, m1, 3);
    VEXA_SHANI_MSG2(m2, m1);
    VEXA_SHANI_XOR(m3, m1);
    VEXA_SHANI_ROUNDS(e0, e1, m2, 3);
    VEXA_SHANI_MSG2(m3, m2);
    VEXA_SHANI_ROUNDS(e1, e0, m3, 3);

    e0 = _mm_sha1nexte_epu32(e0, e0_save);
    abcd = _mm_add_epi32(abcd, abcd_save);
  }
  abcd = _mm_shuffle_epi32(abcd, 0x1B);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), abcd);
  state[4] = static_cast<uint32_t>(_mm_extract_epi32(e0, 3));
}

#undef VEXA_SHANI_ROUNDS
#undef VEXA_SHANI_MSG2
#undef VEXA_SHANI_MSG1
#undef VEXA_SHANI_XOR
#undef VEXA_SHANI_FULL

#else  // not x86

bool Sha1CpuHasShaNi() { return false; }

void Sha1CompressShaNi(uint32_t state[5], const uint8_t* blocks, size_t count) {
  Sha1CompressPortable(state, blocks, count);
}

#endif

}  // namespace vexa
