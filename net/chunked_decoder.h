#ifndef VEXA_NET_CHUNKED_DECODER_H_
#define VEXA_NET_CHUNKED_DECODER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vexa {

// Incremental decoder of a chunked HTTP body: feed it the body bytes in pieces
// of any size; it appends the chunk data to an output and tells when the last
// chunk and the trailers have ended. Chunk extensions and trailer fields are
// skipped. Any malformed input puts it in the failed state, where it stays.
class ChunkedDecoder {
 public:
  enum class State {
    kSize,          // hex digits of a chunk size
    kSizeSpace,     // blanks after the size, before ';' or the line end
    kExtension,     // ";name=value" up to the line end, skipped
    kSizeLf,        // LF ending the size line
    kData,          // chunk data
    kDataCr,        // CR after the chunk data
    kDataLf,        // LF after the chunk data
    kTrailerStart,  // start of a trailer line, or the empty line that ends all
    kTrailerLine,   // a trailer field, skipped up to its LF
    kTrailerLf,     // LF of the final empty line
    kDone,
    kFailed,
  };

  // Consumes bytes of `in` up to the end of the body and appends the data to
  // `*out`. Returns the number of bytes consumed: less than `in.size()` only
  // when the body ended (done()) or the input is malformed (failed()).
  size_t Feed(std::string_view in, std::string* out);

  bool done() const { return state_ == State::kDone; }
  bool failed() const { return state_ == State::kFailed; }
  State state() const { return state_; }

 private:
  // Chunk sizes beyond this are refused (no body here comes near it).
  static constexpr int kMaxHexDigits = 15;

  // A size line begins (after a chunk's data): no digits read yet.
  void StartSizeLine();
  // The size line has ended: on to the data, or to the trailers after size 0.
  void EndSizeLine();

  State state_ = State::kSize;
  uint64_t size_ = 0;
  int digits_ = 0;
  uint64_t remaining_ = 0;
};

// Decodes a whole chunked body; false when it is malformed or incomplete.
bool DecodeChunkedBody(std::string_view body, std::string* out);

}  // namespace vexa

#endif  // VEXA_NET_CHUNKED_DECODER_H_
