#ifndef VEXA_SERVER_RANDOM_H_
#define VEXA_SERVER_RANDOM_H_

#include <string>
#include <string_view>

namespace vexa::server {

// `length` characters drawn uniformly from `alphabet` with the kernel's
// random source. Aborts when no randomness is available: keys must never be
// guessable.
std::string RandomText(std::string_view alphabet, size_t length);

// 32 lower-case hex digits (128 bits).
std::string RandomKey();

// Compares in time independent of where the texts differ.
bool TimingSafeEqual(std::string_view a, std::string_view b);

}  // namespace vexa::server

#endif  // VEXA_SERVER_RANDOM_H_
