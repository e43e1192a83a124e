// The chunked decoder gives the same result however its input is split: the
// first byte of the input chooses the piece size for the incremental run,
// which is compared with one run over the whole body.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "net/chunked_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t step = data[0] % 16 + 1;
  std::string_view body(reinterpret_cast<const char*>(data + 1), size - 1);

  vexa::ChunkedDecoder whole;
  std::string whole_out;
  size_t whole_used = whole.Feed(body, &whole_out);

  vexa::ChunkedDecoder pieces;
  std::string pieces_out;
  size_t used = 0;
  while (used < body.size() && !pieces.done() && !pieces.failed()) {
    std::string_view piece = body.substr(used, step);
    size_t n = pieces.Feed(piece, &pieces_out);
    used += n;
    if (n < piece.size()) break;
  }
  if (whole.done() != pieces.done() || whole.failed() != pieces.failed()) std::abort();
  if (whole_out != pieces_out) std::abort();
  if (whole.done() && whole_used != used) std::abort();
  if (whole_out.size() > body.size()) std::abort();
  return 0;
}
