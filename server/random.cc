#include "server/random.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace vexa::server {

namespace {

void FillRandom(uint8_t* out, size_t n) {
  while (n > 0) {
    ssize_t got = getrandom(out, n, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "vexa-server: no random source\n");
      std::abort();
    }
    out += got;
    n -= static_cast<size_t>(got);
  }
}

}  // namespace

std::string RandomText(std::string_view alphabet, size_t length) {
  std::string out;
  out.reserve(length);
  // Rejection sampling keeps every character equally likely.
  const unsigned limit = 256 - (256 % alphabet.size());
  uint8_t buf[64];
  while (out.size() < length) {
    FillRandom(buf, sizeof(buf));
    for (uint8_t b : buf) {
      if (b >= limit) continue;
      out.push_back(alphabet[b % alphabet.size()]);
      if (out.size() == length) break;
    }
  }
  return out;
}

std::string RandomKey() { return RandomText("0123456789abcdef", 32); }

bool TimingSafeEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  volatile uint8_t diff = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    diff = diff | (static_cast<uint8_t>(a[i]) ^ static_cast<uint8_t>(b[i]));
  }
  return diff == 0;
}

}  // namespace vexa::server
