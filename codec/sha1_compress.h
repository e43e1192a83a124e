#ifndef VEXA_CODEC_SHA1_COMPRESS_H_
#define VEXA_CODEC_SHA1_COMPRESS_H_

#include <cstddef>
#include <cstdint>

namespace vexa {

// The SHA-1 compression function over `count` whole 64-byte blocks, updating
// the five chaining words in `state`.
using Sha1CompressFn = void (*)(uint32_t state[5], const uint8_t* blocks, size_t count);

// Plain C++ for any CPU.
void Sha1CompressPortable(uint32_t state[5], const uint8_t* blocks, size_t count);

// The x86 SHA extensions. Only call when Sha1CpuHasShaNi() is true.
void Sha1CompressShaNi(uint32_t state[5], const uint8_t* blocks, size_t count);

// Whether this CPU (and build) can run Sha1CompressShaNi.
bool Sha1CpuHasShaNi();

// Which compression every Sha1 object uses. Chosen once at start-up: the SHA
// extensions when the CPU has them, the portable code otherwise.
enum class Sha1Engine { kPortable, kShaNi };
Sha1Engine ActiveSha1Engine();
// Switches the engine for the whole process (tests and benchmarks compare the
// two). Returns false, changing nothing, when the CPU lacks the engine.
bool SetSha1Engine(Sha1Engine engine);

// The compression of the active engine.
Sha1CompressFn CurrentSha1Compress();

}  // namespace vexa

#endif  // VEXA_CODEC_SHA1_COMPRESS_H_
